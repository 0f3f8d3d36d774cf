// SPDX-License-Identifier: Apache-2.0
#include "platform/ipc/call_pipeline.h"

#include <poll.h>

#include "platform/ipc/object_proxy.h"
#include "platform/transport/client_channel.h"
#include "platform/transport/deadline.h"

namespace zorlek {

struct CallPipeline::Slot {
    sp<IBinder> object;                // held until the result is taken
    ClientChannel* channel = nullptr;  // `object`'s channel, while its reply is awaited
    uint32_t serial = 0;
    uint32_t code = 0;
    Parcel data;        // the request of an object called at its turn
    Deadline deadline;  // when a remote call's wait ends
    PendingReply result;
};

// A channel with calls in flight; held so that it outlives the objects settled early.
struct CallPipeline::Channel {
    sp<ClientChannel> channel;
    size_t calls = 0;
};

CallPipeline::CallPipeline(size_t capacity)
    : capacity_(capacity > 0 ? capacity : 1), slots_(capacity_) {
    channels_.reserve(16);
    polled_.reserve(16);
    polledChannels_.reserve(16);
}

CallPipeline::~CallPipeline() {
    // Calls still awaited must not be settled into slots that are gone.
    for (size_t age = 0; age < count_; ++age) {
        Slot& s = slot(age);
        if (s.channel != nullptr && !s.result.done) s.channel->cancel(s.serial);
    }
}

CallPipeline::Slot& CallPipeline::slot(size_t age) {
    return slots_[(oldest_ + age) % capacity_];
}

bool CallPipeline::add(sp<IBinder> object, uint32_t code, const Parcel& data) {
    if (full()) return false;
    Slot& s = slot(count_++);
    s.object = std::move(object);
    s.code = code;
    s.channel = nullptr;
    s.data.clear();
    s.result.done = false;
    if (!s.object) {
        settle(s, -ENOENT);
        return true;
    }
    auto* proxy = dynamic_cast<ObjectProxy*>(s.object.get());
    if (proxy == nullptr) {
        s.data = data;
        if (s.data.status() != OK) settle(s, s.data.status());
        return true;
    }
    ClientChannel& channel = proxy->channel();
    status_t status = channel.start(proxy->handle(), code, data, &s.result, &s.serial);
    if (status != OK) {
        settle(s, status);
        return true;
    }
    s.channel = &channel;
    s.deadline = Deadline::after(channel.timeoutMs());
    join(s);
    return true;
}

void CallPipeline::settle(Slot& s, status_t status) {
    s.result.status = status;
    s.result.reply.clear();
    s.result.done = true;
}

void CallPipeline::join(Slot& s) {
    // Calls to one host usually come together, so the last channel is looked at first.
    for (size_t i = channels_.size(); i-- > 0;) {
        if (channels_[i].channel.get() == s.channel) {
            ++channels_[i].calls;
            return;
        }
    }
    channels_.push_back({sp<ClientChannel>(s.channel), 1});
}

void CallPipeline::leave(Slot& s) {
    for (size_t i = 0; i < channels_.size(); ++i) {
        if (channels_[i].channel.get() != s.channel) continue;
        if (--channels_[i].calls == 0) {
            channels_[i] = std::move(channels_.back());
            channels_.pop_back();
        }
        break;
    }
    s.channel = nullptr;
}

void CallPipeline::waitForOldest() {
    Slot& oldest = slot(0);
    while (!oldest.result.done) {
        int wait = oldest.deadline.remainingMs();
        if (wait == 0) {
            oldest.channel->cancel(oldest.serial);
            settle(oldest, -ETIMEDOUT);
            return;
        }
        // Every channel is read while the replies held fit the budget; past it, only the
        // oldest call's.
        bool overBudget = heldBytes_ >= kHeldReplyBytes;
        polled_.clear();
        polledChannels_.clear();
        for (Channel& entry : channels_) {
            ClientChannel& channel = *entry.channel;
            channel.flush();
            short events = channel.wantsToSend() ? POLLOUT : 0;
            if (!overBudget || &channel == oldest.channel) events |= POLLIN;
            if (!channel.alive() || events == 0) continue;
            polled_.push_back({channel.fd(), events, 0});
            polledChannels_.push_back(&channel);
        }
        if (!oldest.channel->alive()) continue;  // its failure settled the call
        int ready = ::poll(polled_.data(), polled_.size(), wait);
        if (ready < 0 && errno != EINTR) {
            oldest.channel->cancel(oldest.serial);
            settle(oldest, -errno);
            return;
        }
        for (size_t i = 0; ready > 0 && i < polled_.size(); ++i) {
            if (polled_[i].revents == 0) continue;
            --ready;
            ClientChannel& channel = *polledChannels_[i];
            if ((polled_[i].revents & POLLOUT) != 0) channel.flush();
            if ((polled_[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                heldBytes_ += channel.takeIn();
            }
        }
    }
}

status_t CallPipeline::takeOldest(Parcel* reply) {
    reply->clear();
    if (count_ == 0) return -ENODATA;
    Slot& s = slot(0);
    if (!s.result.done && s.channel == nullptr) {
        // An object in this process: called now, at its turn, as a call one at a time
        // would.
        s.result.status = s.object->sendTransaction(s.code, s.data, &s.result.reply, 0);
        s.result.done = true;
    }
    waitForOldest();
    size_t held = s.result.reply.dataSize();
    heldBytes_ -= held < heldBytes_ ? held : heldBytes_;
    // The slot keeps the caller's emptied buffer for its next reply.
    swap(*reply, s.result.reply);
    if (s.channel != nullptr) leave(s);
    s.object.reset();
    oldest_ = (oldest_ + 1) % capacity_;
    --count_;
    return s.result.status;
}

}  // namespace zorlek
