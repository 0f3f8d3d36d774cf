// SPDX-License-Identifier: Apache-2.0
#include "platform/hosting/host_channel.h"

#include "platform/base/call_context.h"
#include "platform/base/call_timeout.h"
#include "platform/base/deadline.h"
#include "platform/transport/parcel_access.h"

namespace zorlek {

HostChannel::HostChannel(Connection* connection, const PublishedObjects* published)
    : connection_(connection) {
    setPublished(published);
}

status_t HostChannel::transact(uint32_t handle, uint32_t code, const Parcel& data, Parcel* reply,
                               uint32_t flags) {
    if (reply != nullptr) reply->clear();
    if (data.status() != OK) return data.status();
    if (data.dataSize() > kMaxParcelSize) return -EMSGSIZE;
    if (!alive()) return -EPIPE;
    bool oneway = (flags & FLAG_ONEWAY) != 0;
    if (!oneway && callDepth() >= kMaxCallDepth) return -EDEADLK;
    MessageHeader header{MSG_TRANSACT,  code,  oneway ? static_cast<int32_t>(FLAG_ONEWAY) : 0, 0,
                         nextSerial_++, handle};
    status_t status = encode(data, MSG_TRANSACT, &header.type, &wire_);
    if (status != OK) return status;
    const Parcel& payload = header.type == MSG_TRANSACT ? data : wire_;
    int64_t beganNs = observer() != nullptr && observer()->watching() ? monotonicNs() : 0;
    status = send(header, payload, oneway, reply);
    if (beganNs != 0 && observer()->watching()) {
        observer()->told(true, header, peer_, data, reply != nullptr ? *reply : Parcel(), status,
                         beganNs);
    }
    return status;
}

status_t HostChannel::send(MessageHeader header, const Parcel& payload, bool oneway,
                           Parcel* reply) {
    status_t status;
    // What waits for a client that does not read is bounded, and costs only its calls.
    if (connection_->queuedBytes() + kHeaderSize + payload.dataSize() > kCallbackQueueBytes) {
        return -ENOBUFS;
    }
    if (oneway) {
        status = connection_->send(header, payload);
        ParcelAccess::trim(wire_, kKeptReplyRoom);
        return status;
    }
    PendingReply pending;
    if (reply != nullptr) swap(pending.reply, *reply);
    status = call(header, payload, &pending);
    if (reply != nullptr) swap(*reply, pending.reply);
    if (status != OK && reply != nullptr) reply->clear();
    return status;
}

status_t HostChannel::call(const MessageHeader& header, const Parcel& payload,
                           PendingReply* pending) {
    Deadline deadline = Deadline::after(callTimeoutMs());
    status_t status = connection_->send(header, payload);
    ParcelAccess::trim(wire_, kKeptReplyRoom);
    if (status != OK) return status;
    waiting_.push_back({header.serial, pending});
    // The connection may close meanwhile; it stays in memory until the loop's batch ends.
    Connection* connection = connection_;
    status = connection->serveUntil(deadline, pending->done);
    for (size_t i = 0; i < waiting_.size(); ++i) {
        if (waiting_[i].reply != pending) continue;
        waiting_.erase(waiting_.begin() + static_cast<ptrdiff_t>(i));
        break;
    }
    if (pending->done) return pending->status;
    return status != OK ? status : -ETIMEDOUT;
}

bool HostChannel::settle(Message& message) {
    // An answer to a call never made is no protocol; one given up on is dropped.
    uint32_t serial = message.header.serial;
    if (serial == 0 || !serialBefore(serial, nextSerial_)) return false;
    for (size_t i = 0; i < waiting_.size(); ++i) {
        if (waiting_[i].serial != message.header.serial) continue;
        PendingReply* pending = waiting_[i].reply;
        pending->done = true;
        pending->status = message.header.type == MSG_ERROR ? -EBADRQC : message.header.value;
        if (pending->status == OK) swap(pending->reply, message.payload);
        waiting_.erase(waiting_.begin() + static_cast<ptrdiff_t>(i));
        return true;
    }
    return true;
}

std::vector<sp<DeathRecipient>> HostChannel::detach() {
    connection_ = nullptr;
    for (Waiting& waiting : waiting_) {
        waiting.reply->done = true;
        waiting.reply->status = -EPIPE;
        waiting.reply->reply.clear();
    }
    waiting_.clear();
    return endObjects();
}

status_t HostChannel::sendMessage(const MessageHeader& header, const Parcel& payload) {
    return alive() ? connection_->send(header, payload) : -EPIPE;
}

void HostChannel::broken(status_t why) {
    if (alive()) connection_->close(why);
}

}  // namespace zorlek
