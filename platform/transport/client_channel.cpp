// SPDX-License-Identifier: Apache-2.0
#include "platform/transport/client_channel.h"

#include <poll.h>

#include <algorithm>

#include "platform/ipc/ibinder.h"
#include "platform/transport/fd_passing.h"

namespace zorlek {
namespace {

// A reply read ahead of the one awaited goes through the buffer; replies as large as a
// parcel go straight into their own.
constexpr size_t kChannelBuffer = 16 * 1024;

}  // namespace

ClientChannel* ChannelDirectory::find(uint64_t host) const {
    auto found = channels_.find(host);
    return found != channels_.end() ? found->second : nullptr;
}

void ChannelDirectory::add(uint64_t host, ClientChannel* channel) {
    channels_[host] = channel;
}

void ChannelDirectory::gone(uint64_t host, ClientChannel* channel, uint32_t generation) {
    auto found = channels_.find(host);
    if (found == channels_.end() || found->second != channel) return;
    channels_.erase(found);
    if (generation == generation_) releases_.push_back(host);
}

void ChannelDirectory::restart() {
    channels_.clear();
    releases_.clear();
    ++generation_;
}

ClientChannel::ClientChannel(unique_fd sock, int timeoutMs, sp<ChannelDirectory> directory,
                             uint64_t host, uint32_t generation)
    : stream_(std::move(sock), kChannelBuffer, kMaxParcelSize),
      timeoutMs_(timeoutMs),
      directory_(std::move(directory)),
      host_(host),
      generation_(generation) {}

ClientChannel::~ClientChannel() {
    end(-EPIPE);
}

status_t ClientChannel::transact(uint32_t handle, uint32_t code, const Parcel& data, Parcel* reply,
                                 uint32_t flags) {
    if (reply != nullptr) reply->clear();
    if (data.status() != OK) return data.status();
    if (data.dataSize() > kMaxParcelSize) return -EMSGSIZE;
    if (!alive()) return -EPIPE;
    uint32_t serial = nextSerial_++;
    uint8_t head[kHeaderSize];
    encodeFrameStart({MSG_TRANSACT, code, static_cast<int32_t>(flags), 0, serial, handle},
                     data.dataSize(), head);
    Deadline deadline = Deadline::after(timeoutMs_);
    status_t status = sendRequest(head, data, deadline);
    if (status != OK || (flags & FLAG_ONEWAY) != 0) return status;
    // Set at the first call that waits alone: channels used only by many calls at once
    // (a listing) wait in poll() and never need it.
    if (!stream_.waitsInReceive()) stream_.waitInReceive(timeoutMs_);
    return awaitReply(serial, reply != nullptr ? reply : &scratch_.payload, deadline);
}

status_t ClientChannel::sendRequest(const uint8_t* head, const Parcel& data,
                                    const Deadline& deadline) {
    // Calls queued before this one go first, in order.
    flush();
    if (!alive()) return -EPIPE;
    size_t total = kHeaderSize + data.dataSize();
    size_t sent = 0;
    if (!wantsToSend()) {
        iovec iov[2] = {{const_cast<uint8_t*>(head), kHeaderSize},
                        {const_cast<uint8_t*>(data.data()), data.dataSize()}};
        ssize_t n = sendNow(fd(), iov, data.dataSize() > 0 ? 2 : 1, -1);
        if (n < 0) {
            end(static_cast<status_t>(n));
            return static_cast<status_t>(n);
        }
        sent = static_cast<size_t>(n);
        if (sent == total) return OK;
    }
    // What the socket did not take waits in the queue, behind the calls before it.
    bool queued = sent < kHeaderSize
                      ? out_.append(head + sent, kHeaderSize - sent) &&
                            out_.append(data.data(), data.dataSize())
                      : out_.append(data.data() + (sent - kHeaderSize), total - sent);
    if (!queued) {
        // Half a request would leave the host out of step.
        if (sent > 0) end(-ENOMEM);
        return -ENOMEM;
    }
    return drain(deadline);
}

status_t ClientChannel::drain(const Deadline& deadline) {
    while (wantsToSend()) {
        if (!alive()) return -EPIPE;
        int left = deadline.remainingMs();
        pollfd p{fd(), POLLIN | POLLOUT, 0};
        int ready = left > 0 ? ::poll(&p, 1, left) : 0;
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) {
            // Part of it may have gone: the channel is out of step.
            end(-ETIMEDOUT);
            return -ETIMEDOUT;
        }
        if ((p.revents & POLLOUT) != 0) flush();
        if ((p.revents & (POLLIN | POLLHUP | POLLERR)) != 0) takeIn();
    }
    return alive() ? OK : -EPIPE;
}

status_t ClientChannel::awaitReply(uint32_t serial, Parcel* into, const Deadline& deadline) {
    Message message;
    std::swap(message.payload, *into);
    status_t status;
    // A failure of the channel itself, as against the object's own status.
    bool broken = false;
    for (;;) {
        status = stream_.receive(&message, deadline);
        if (status != OK) {
            // Out of time the stream is still in step: the late reply is dropped when it
            // comes.
            broken = status != -ETIMEDOUT;
            break;
        }
        if (message.header.type == MSG_REPLY && message.header.serial == serial) {
            status = message.header.value;
            break;
        }
        size_t ignored = 0;
        if (!settle(message, &ignored)) {
            status = -EBADMSG;
            broken = true;
            break;
        }
    }
    if (status != OK) message.payload.clear();
    std::swap(message.payload, *into);
    if (broken) end(status);
    return status;
}

status_t ClientChannel::start(uint32_t handle, uint32_t code, const Parcel& data,
                              PendingReply* pending, uint32_t* serial) {
    if (data.status() != OK) return data.status();
    if (data.dataSize() > kMaxParcelSize) return -EMSGSIZE;
    if (!alive()) return -EPIPE;
    uint8_t head[kHeaderSize];
    encodeFrameStart({MSG_TRANSACT, code, 0, 0, nextSerial_, handle}, data.dataSize(), head);
    size_t before = out_.size();
    if (!out_.append(head, kHeaderSize) || !out_.append(data.data(), data.dataSize())) {
        out_.resize(before);
        return -ENOMEM;
    }
    pending->done = false;
    pending->status = OK;
    pending->reply.clear();
    *serial = nextSerial_++;
    pending_.emplace_back(*serial, pending);
    return OK;
}

std::pair<uint32_t, PendingReply*>* ClientChannel::findPending(uint32_t serial) {
    auto begin = pending_.begin() + static_cast<ptrdiff_t>(pendingFront_);
    auto at = std::lower_bound(begin, pending_.end(), serial,
                               [](const auto& entry, uint32_t s) { return entry.first < s; });
    return at != pending_.end() && at->first == serial && at->second != nullptr ? &*at : nullptr;
}

void ClientChannel::cancel(uint32_t serial) {
    if (auto* entry = findPending(serial)) entry->second = nullptr;
    while (pendingFront_ < pending_.size() && pending_[pendingFront_].second == nullptr) {
        ++pendingFront_;
    }
    if (pendingFront_ == pending_.size()) {
        pending_.clear();
        pendingFront_ = 0;
    } else if (pendingFront_ > 64 && pendingFront_ > pending_.size() / 2) {
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<ptrdiff_t>(pendingFront_));
        pendingFront_ = 0;
    }
}

void ClientChannel::flush() {
    if (!alive() || !wantsToSend()) return;
    iovec iov{out_.data(), out_.size()};
    ssize_t n = sendNow(fd(), &iov, 1, -1);
    if (n < 0) return end(static_cast<status_t>(n));
    out_.consume(static_cast<size_t>(n));
}

size_t ClientChannel::takeIn() {
    size_t settled = 0;
    if (!alive()) return settled;
    ssize_t n = stream_.receiveNow();
    if (n == 0 || (n < 0 && n != -EAGAIN)) {
        end(n == 0 ? -EPIPE : static_cast<status_t>(n));
        return settled;
    }
    for (;;) {
        int got = stream_.reader().next(&scratch_);
        if (got == 0) break;
        if (got < 0 || !settle(scratch_, &settled)) {
            end(got < 0 ? got : -EBADMSG);
            break;
        }
    }
    return settled;
}

bool ClientChannel::settle(Message& message, size_t* settledBytes) {
    if (message.header.type != MSG_REPLY) return false;
    uint32_t serial = message.header.serial;
    auto* entry = findPending(serial);
    // A reply no call waits for (one given up on) is dropped.
    if (entry == nullptr) return true;
    PendingReply& pending = *entry->second;
    pending.status = message.header.value;
    std::swap(pending.reply, message.payload);
    if (pending.status != OK) pending.reply.clear();
    pending.done = true;
    *settledBytes += pending.reply.dataSize();
    cancel(serial);
    return true;
}

void ClientChannel::end(status_t why) {
    for (size_t i = pendingFront_; i < pending_.size(); ++i) {
        PendingReply* pending = pending_[i].second;
        if (pending == nullptr) continue;
        pending->status = why;
        pending->reply.clear();
        pending->done = true;
    }
    pending_.clear();
    pendingFront_ = 0;
    out_.release();
    stream_.reset();
    // The registry is told before the next request, so that the next lookup of this
    // host brings a new channel.
    if (directory_) directory_->gone(host_, this, generation_);
}

}  // namespace zorlek
