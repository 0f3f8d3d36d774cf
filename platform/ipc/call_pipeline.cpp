#include "platform/ipc/call_pipeline.h"

#include <poll.h>

#include "platform/ipc/object_proxy.h"
#include "platform/transport/deadline.h"

namespace zorlek {

struct CallPipeline::Slot {
    sp<IBinder> object;            // held until the result is in
    ObjectProxy* proxy = nullptr;  // `object`, while a proxy's reply is awaited
    uint32_t code = 0;
    Parcel data;        // the request of an object called at its turn
    Deadline deadline;  // when a proxy's wait ends
    bool done = false;
    status_t status = OK;
    Parcel reply;
};

CallPipeline::CallPipeline(size_t capacity)
    : capacity_(capacity > 0 ? capacity : 1),
      slots_(capacity_),
      polled_(capacity_),
      polledAge_(capacity_) {}

CallPipeline::~CallPipeline() = default;

CallPipeline::Slot& CallPipeline::slot(size_t age) {
    return slots_[(oldest_ + age) % capacity_];
}

bool CallPipeline::add(sp<IBinder> object, uint32_t code, const Parcel& data) {
    if (full()) return false;
    Slot& s = slot(count_++);
    s.object = std::move(object);
    s.code = code;
    s.done = false;
    s.data.clear();
    if (!s.object) {
        settle(s, -ENOENT);
        return true;
    }
    auto* proxy = dynamic_cast<ObjectProxy*>(s.object.get());
    if (proxy == nullptr) {
        s.data = data;
        return true;
    }
    status_t status = proxy->sendRequest(code, data, 0);
    if (status != OK) {
        settle(s, status);
        return true;
    }
    s.proxy = proxy;
    s.deadline = Deadline::after(proxy->timeoutMs_);
    return true;
}

void CallPipeline::settle(Slot& s, status_t status) {
    if (status != OK) s.reply.clear();
    s.status = status;
    s.done = true;
    s.proxy = nullptr;
    s.object.reset();
    heldBytes_ += s.reply.dataSize();
}

void CallPipeline::receive(Slot& s) {
    settle(s, s.proxy->receiveReply(s.code, &s.reply, s.deadline.remainingMs(), true));
}

void CallPipeline::waitForOldest() {
    Slot& oldest = slot(0);
    while (!oldest.done) {
        // The oldest call is always watched; later ones while their replies fit the budget.
        nfds_t watched = 0;
        for (size_t age = 0; age < count_; ++age) {
            Slot& s = slot(age);
            if (age > 0 && heldBytes_ >= kHeldReplyBytes) break;
            if (s.proxy == nullptr) continue;
            polled_[watched] = {s.proxy->channel_.get(), POLLIN, 0};
            polledAge_[watched++] = age;
        }
        int wait = oldest.deadline.remainingMs();
        if (wait == 0) {
            oldest.proxy->die();
            settle(oldest, -ETIMEDOUT);
            return;
        }
        int ready = ::poll(polled_.data(), watched, wait);
        if (ready < 0) {
            status_t failure = -errno;
            if (failure == -EINTR) continue;
            oldest.proxy->die();
            settle(oldest, failure);
            return;
        }
        for (nfds_t i = 0; i < watched && ready > 0; ++i) {
            if (polled_[i].revents == 0) continue;
            --ready;
            receive(slot(polledAge_[i]));
        }
    }
}

status_t CallPipeline::takeOldest(Parcel* reply) {
    reply->clear();
    if (count_ == 0) return -ENODATA;
    Slot& s = slot(0);
    if (!s.done && s.proxy == nullptr) {
        // Not a proxy: called now, at its turn, as a call one at a time would.
        settle(s, s.object->sendTransaction(s.code, s.data, &s.reply, 0));
    }
    waitForOldest();
    heldBytes_ -= s.reply.dataSize();
    // The slot keeps the caller's emptied buffer for its next reply.
    std::swap(*reply, s.reply);
    oldest_ = (oldest_ + 1) % capacity_;
    --count_;
    return s.status;
}

}  // namespace zorlek
