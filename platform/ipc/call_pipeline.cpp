// SPDX-License-Identifier: Apache-2.0
#include "platform/ipc/call_pipeline.h"

#include <poll.h>

#include "platform/base/deadline.h"
#include "platform/transport/client_channel.h"
#include "platform/transport/object_proxy.h"
#include "platform/transport/parcel_access.h"

namespace zorlek {

struct CallPipeline::Slot {
    sp<IBinder> object;                // held until the result is taken
    ClientChannel* channel = nullptr;  // `object`'s channel, while its reply is awaited
    uint32_t serial = 0;
    uint32_t code = 0;
    // The request of an object called at its turn, or of a call that may be asked again.
    Parcel data;
    Deadline deadline;  // when a remote call's wait ends
    PendingReply result;
};

struct CallPipeline::SlotBlock {
    Slot slots[kPipelineBlockSlots];
};

CallPipeline::CallPipeline(size_t capacity) : capacity_(capacity > 0 ? capacity : 1) {}

CallPipeline::~CallPipeline() {
    // Calls still awaited must not be settled into slots that are gone.
    for (size_t age = 0; age < count_; ++age) {
        Slot& s = slot(age);
        if (s.channel != nullptr && !s.result.done) s.channel->cancel(s.serial);
    }
}

CallPipeline::Slot& CallPipeline::slot(size_t age) {
    size_t index = (oldest_ + age) % capacity_;
    size_t block = index / kPipelineBlockSlots;
    if (block >= blocks_.size()) blocks_.resize(block + 1);
    if (!blocks_[block]) blocks_[block] = std::make_unique<SlotBlock>();
    return blocks_[block]->slots[index % kPipelineBlockSlots];
}

bool CallPipeline::add(sp<IBinder> object, uint32_t code, const Parcel& data, bool mayAskAgain) {
    if (full()) return false;
    Slot& s = slot(count_++);
    s.object = std::move(object);
    s.code = code;
    s.channel = nullptr;
    s.data.clear();
    s.result.done = false;
    s.result.dropped = false;
    s.result.mayDrop = mayAskAgain;
    if (!s.object) {
        settle(s, -ENOENT);
        return true;
    }
    // Only proxies on a client's channel are called many at once; others one at a time.
    ObjectProxy* proxy = s.object->remoteObject();
    ClientChannel* channel = proxy != nullptr ? proxy->clientChannel() : nullptr;
    if (channel == nullptr || mayAskAgain) s.data = data;
    if (channel == nullptr) {
        if (s.data.status() != OK) settle(s, s.data.status());
        return true;
    }
    s.channel = channel;
    join(s);
    // The requests of one batch leave together, at the next wait.
    s.channel->cork();
    send(s, data);
    s.deadline = Deadline::after(s.channel->timeoutMs());
    return true;
}

void CallPipeline::flush() {
    for (const sp<ClientChannel>& channel : channels_) channel->flush();
}

void CallPipeline::send(Slot& s, const Parcel& data) {
    ObjectProxy* proxy = s.object->remoteObject();
    status_t status = s.channel->start(proxy->handle(), s.code, data, &s.result, &s.serial);
    if (status != OK) return settle(s, status);
}

void CallPipeline::settle(Slot& s, status_t status) {
    s.result.status = status;
    s.result.reply.clear();
    s.result.done = true;
    s.result.dropped = false;
}

void CallPipeline::join(Slot& s) {
    // Calls to one host usually come together, so the last channel is looked at first.
    for (size_t i = channels_.size(); i-- > 0;) {
        if (channels_[i].get() == s.channel) {
            ++channelCalls_[i];
            return;
        }
    }
    channels_.push_back(sp<ClientChannel>(s.channel));
    channelCalls_.push_back(1);
}

void CallPipeline::leave(Slot& s) {
    for (size_t i = 0; i < channels_.size(); ++i) {
        if (channels_[i].get() != s.channel) continue;
        if (--channelCalls_[i] == 0) {
            channels_[i] = std::move(channels_.back());
            channels_.pop_back();
            channelCalls_[i] = channelCalls_.back();
            channelCalls_.pop_back();
        }
        break;
    }
    s.channel = nullptr;
}

void CallPipeline::waitForOldest() {
    Slot& oldest = slot(0);
    while (!oldest.result.done || oldest.result.dropped) {
        // A reply dropped for want of room: the call is asked again now, at its turn, as
        // one call after another would ask it.
        // The calls asked again share one more timeout, from the first of them, so that a
        // host that floods and then falls silent costs no more than one that is silent.
        if (oldest.result.dropped) {
            int64_t now = monotonicMs();
            if (askAgainByMs_ < 0) askAgainByMs_ = now + oldest.channel->timeoutMs();
            int left = static_cast<int>(askAgainByMs_ > now ? askAgainByMs_ - now : 0);
            oldest.deadline = Deadline::later(oldest.deadline, Deadline::after(left));
            send(oldest, oldest.data);
            continue;
        }
        polled_.resize(channels_.size() + 1);
        polledChannels_.resize(channels_.size() + 1);
        OtherChannels others{channels_.data(), channels_.size(), polled_.data(),
                             polledChannels_.data()};
        HeldReplies held{heldBytes_, kHeldReplyBytes};
        oldest.channel->wait(oldest.serial, &oldest.result, oldest.deadline, others, &held);
        heldBytes_ = held.bytes;
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
    if (s.channel != nullptr) waitForOldest();
    // Counted by this pipeline's waits (another pipeline on the same channel may have
    // taken it in).
    heldBytes_ -= s.result.heldBytes < heldBytes_ ? s.result.heldBytes : heldBytes_;
    s.result.heldBytes = 0;
    // The slot keeps the caller's emptied buffer for its next reply, unless it is large.
    swap(*reply, s.result.reply);
    ParcelAccess::trim(s.result.reply, kKeptReplyRoom);
    if (s.channel != nullptr) leave(s);
    s.object.reset();
    oldest_ = (oldest_ + 1) % capacity_;
    --count_;
    return s.result.status;
}

}  // namespace zorlek
