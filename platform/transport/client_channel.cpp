// SPDX-License-Identifier: Apache-2.0
#include "platform/transport/client_channel.h"

#include <algorithm>

#include "platform/base/call_context.h"
#include "platform/base/ibinder.h"
#include "platform/transport/fd_closer.h"
#include "platform/transport/parcel_access.h"

namespace zorlek {

ClientChannel* ChannelDirectory::find(uint64_t host) const {
    auto found = channels_.find(host);
    return found != channels_.end() ? found->second : nullptr;
}

void ChannelDirectory::add(uint64_t host, ClientChannel* channel) {
    channels_[host] = channel;
    watch(channel);
}

void ChannelDirectory::gone(uint64_t host, ClientChannel* channel, uint32_t generation) {
    auto found = channels_.find(host);
    if (found == channels_.end() || found->second != channel) return;
    channels_.erase(found);
    if (generation == generation_) releases_.push_back(host);
}

void ChannelDirectory::noticesDue(std::vector<sp<DeathRecipient>> due) {
    for (sp<DeathRecipient>& recipient : due) notices_.push_back(std::move(recipient));
}

void ChannelDirectory::restart() {
    channels_.clear();
    releases_.clear();
    ++generation_;
}

ClientChannel::ClientChannel(unique_fd sock, int timeoutMs, sp<ChannelDirectory> directory,
                             uint64_t host, uint32_t generation, uint32_t firstSerial)
    : connection_(std::move(sock), kClientReadBuffer, kMaxParcelSize),
      timeoutMs_(timeoutMs),
      directory_(std::move(directory)),
      host_(host),
      generation_(generation),
      nextSerial_(firstSerial) {}

ClientChannel::~ClientChannel() {
    end(-EPIPE);
}

status_t ClientChannel::transact(uint32_t handle, uint32_t code, const Parcel& data, Parcel* reply,
                                 uint32_t flags) {
    Parcel* into = reply != nullptr ? reply : &discarded_;
    into->clear();
    Deadline deadline = Deadline::after(timeoutMs_);
    if ((flags & FLAG_ONEWAY) != 0) {
        uint32_t serial;
        status_t status = start(handle, code, data, nullptr, &serial);
        if (status != OK) return status;
        // Returns once the socket has all of it.
        wait(serial, nullptr, deadline, OtherChannels(), nullptr);
        // At its deadline a request still partly queued ends the channel.
        if (!alive()) return deadline.remainingMs() == 0 ? -ETIMEDOUT : -EPIPE;
        return wantsToSend() ? -ETIMEDOUT : OK;
    }
    // The reply lands in the caller's parcel, whose room goes to the next receive.
    PendingReply pending;
    swap(pending.reply, *into);
    uint32_t serial;
    status_t status = start(handle, code, data, &pending, &serial);
    if (status == OK) {
        wait(serial, &pending, deadline, OtherChannels(), nullptr);
        status = pending.status;
    }
    swap(*into, pending.reply);
    if (status != OK) into->clear();
    // A reply nobody asked for keeps no more room than the channel keeps between replies.
    if (reply == nullptr) ParcelAccess::trim(discarded_, kKeptReplyRoom);
    return status;
}

status_t ClientChannel::start(uint32_t handle, uint32_t code, const Parcel& data,
                              PendingReply* pending, uint32_t* serial) {
    if (data.status() != OK) return data.status();
    if (data.dataSize() > kMaxParcelSize) return -EMSGSIZE;
    if (!alive()) return -EPIPE;
    int32_t flags = pending != nullptr ? 0 : static_cast<int32_t>(FLAG_ONEWAY);
    MessageHeader header{MSG_TRANSACT, code, flags, 0, nextSerial_, handle};
    status_t status = encode(data, MSG_TRANSACT, &header.type, &wire_);
    if (status != OK) return status;
    const Parcel& payload = header.type == MSG_TRANSACT ? data : wire_;
    // The host may call back what it was given: each call back says who sent it.
    if (header.type != MSG_TRANSACT && !credentials_) credentials_ = connection_.takeCredentials();
    status = connection_.send(header, payload.data(), payload.dataSize());
    if (&payload == &wire_) ParcelAccess::trim(wire_, kKeptReplyRoom);
    // Nothing of it went and the channel is in step: only this call fails.
    if (status == -ENOMEM) return -ENOMEM;
    if (status != OK) {
        // Half a request leaves the host out of step; a socket that failed is gone.
        if (status == -ECANCELED) status = -ENOMEM;
        end(status);
        return status;
    }
    *serial = nextSerial_++;
    if (pending != nullptr) {
        pending->done = false;
        pending->dropped = false;
        pending->status = OK;
        pending->heldBytes = 0;
        pending->reply.clear();
        pending_.push_back({*serial, pending});
    }
    return OK;
}

ClientChannel::Pending* ClientChannel::findPending(uint32_t serial) {
    auto begin = pending_.begin() + static_cast<ptrdiff_t>(pendingFront_);
    auto at = std::lower_bound(begin, pending_.end(), serial, [](const Pending& entry, uint32_t s) {
        return serialBefore(entry.serial, s);
    });
    return at != pending_.end() && at->serial == serial && at->reply != nullptr ? &*at : nullptr;
}

void ClientChannel::cancel(uint32_t serial) {
    if (Pending* entry = findPending(serial)) entry->reply = nullptr;
    while (pendingFront_ < pending_.size() && pending_[pendingFront_].reply == nullptr) {
        ++pendingFront_;
    }
    if (pendingFront_ == pending_.size()) {
        pending_.clear();
        pendingFront_ = 0;
    } else if (pendingFront_ > kSettledCallsKept && pendingFront_ > pending_.size() / 2) {
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<ptrdiff_t>(pendingFront_));
        pendingFront_ = 0;
    }
}

void ClientChannel::flush() {
    if (!alive()) return;
    status_t status = connection_.flush();
    if (status != OK) end(status);
}

bool ClientChannel::receiveMayWait(int leftMs) {
    // The socket's bound is the whole timeout: it fits only a wait that has just begun.
    if (leftMs < timeoutMs_) return false;
    // Set at the first wait that could use it: channels read only among many (a listing)
    // wait in poll() and never need it.
    if (!connection_.waitsInReceive()) connection_.waitInReceive(timeoutMs_);
    return connection_.receiveMayWait(leftMs);
}

void ClientChannel::takeIn(const PendingReply* awaited, HeldReplies* held, bool wait) {
    if (!alive()) return;
    ssize_t n = connection_.fill(wait);
    if (n == 0 || (n < 0 && n != -EAGAIN)) return end(n == 0 ? -EPIPE : static_cast<status_t>(n));
    for (;;) {
        int got = connection_.next(&scratch_);
        if (got == 0) break;
        // A reply carries no descriptor: one that came with a message of another type is
        // the host's choice, let go off this thread rather than kept for the channel's close.
        closeAside(std::move(scratch_.fd));
        if (got < 0 || !take(scratch_, awaited, held)) return end(got < 0 ? got : -EBADMSG);
        if (!alive()) return;
    }
}

bool ClientChannel::take(Message& message, const PendingReply* awaited, HeldReplies* held) {
    uint32_t type = message.header.type;
    if (type == MSG_OBJ_RELEASE) {
        released(message.header);
        return true;
    }
    if ((type == MSG_OBJ_TRANSACT || type == MSG_OBJ_REPLY) && decode(message) != OK) return false;
    type = message.header.type;
    if (type == MSG_REPLY || type == MSG_ERROR) {
        settle(message, awaited, held);
        return true;
    }
    if (type != MSG_TRANSACT) return false;
    // Served off the channel's room: the call may wait, and that wait reads into it.
    MessageHeader header = message.header;
    ucred sender = message.sender;
    bool nested = callDepth() > 0;
    Parcel own;
    Parcel& request = nested ? own : request_;
    swap(request, message.payload);
    serve(header, request, sender, reply_);
    if (!nested) swap(request, message.payload);
    ParcelAccess::trim(reply_, kKeptReplyRoom);
    return true;
}

status_t ClientChannel::sendMessage(const MessageHeader& header, const Parcel& payload) {
    status_t status = connection_.send(header, payload);
    if (status != OK && status != -ENOMEM) end(status == -ECANCELED ? -ENOMEM : status);
    return status;
}

void ClientChannel::settle(Message& message, const PendingReply* awaited, HeldReplies* held) {
    uint32_t type = message.header.type;
    uint32_t serial = message.header.serial;
    Pending* entry = findPending(serial);
    PendingReply* pending = entry != nullptr ? entry->reply : nullptr;
    // A host that did not know what a call of ours was: that call's result.
    if (type == MSG_ERROR) {
        message.header.value = -EBADRQC;
        message.payload.clear();
    }
    // A reply no call waits for (one given up on) is dropped.
    if (pending != nullptr) {
        size_t room = ParcelAccess::capacity(message.payload);
        bool ahead = pending != awaited;
        bool fits = held != nullptr && held->bytes + room <= held->limit;
        pending->status = message.header.value;
        pending->done = true;
        if (ahead && pending->mayDrop && !fits) {
            // No room to hold it: asked again at its turn.
            pending->dropped = true;
        } else if (pending->status == OK) {
            swap(pending->reply, message.payload);
            if (ahead && held != nullptr) {
                pending->heldBytes = ParcelAccess::capacity(pending->reply);
                held->bytes += pending->heldBytes;
            }
        }
        cancel(serial);
    }
    // The room of a large reply, or of the parcel it was swapped for, is not kept.
    ParcelAccess::trim(message.payload, kKeptReplyRoom);
}

void ClientChannel::giveUp(uint32_t serial, PendingReply* awaited, status_t why) {
    if (awaited != nullptr && !awaited->done) {
        cancel(serial);
        awaited->status = why;
        awaited->reply.clear();
        awaited->done = true;
    }
    // Part of a request may have left: the channel is out of step.
    if (wantsToSend()) end(why);
}

void ClientChannel::end(status_t why) {
    for (size_t i = pendingFront_; i < pending_.size(); ++i) {
        PendingReply* pending = pending_[i].reply;
        if (pending == nullptr) continue;
        pending->status = why;
        pending->reply.clear();
        pending->done = true;
    }
    pending_.clear();
    pendingFront_ = 0;
    bool wasAlive = alive();
    // Out of the foreign loop's set before its descriptor goes.
    if (directory_ && wasAlive) directory_->unwatch(this);
    connection_.reset();
    // The registry is told before the next request, so that the next lookup of this
    // host brings a new channel.
    if (directory_) directory_->gone(host_, this, generation_);
    if (!wasAlive) return;
    std::vector<sp<DeathRecipient>> due = endObjects();
    if (directory_) return directory_->noticesDue(std::move(due));
    for (sp<DeathRecipient>& recipient : due) recipient->onGone();
}

}  // namespace zorlek
