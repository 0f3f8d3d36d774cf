// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/ipc/ibinder.h"
#include "platform/ipc/parcel.h"

struct pollfd;

namespace zorlek {

class ClientChannel;

// Two-way transactions to many objects at once, their results handed back strictly in the
// order the calls were added. The requests to remote objects leave together, one write
// per channel, and while the caller waits for the oldest result the replies of later calls
// are taken in as they arrive, so that k objects that never answer cost about one call
// timeout together, not k.
//
// Bounds: at most `capacity` calls at once (calls hold no descriptor of their own: the
// objects of one host share one channel); each call waits at most its object's call
// timeout, counted from when it was added; replies taken in ahead of their turn are held
// up to kHeldReplyBytes in all, past which only the channel of the oldest call is read.
// Everything is allocated when the pipeline is made; after that a call allocates nothing
// beyond the parcels' own buffers. Used from the one thread that uses the objects.
class CallPipeline {
  public:
    // Replies held ahead of their turn, in bytes, before the pipeline reads only the
    // oldest call's channel.
    static constexpr size_t kHeldReplyBytes = 8 * 1024 * 1024;

    // Room for `capacity` calls (at least one).
    explicit CallPipeline(size_t capacity);
    ~CallPipeline();
    CallPipeline(const CallPipeline&) = delete;
    CallPipeline& operator=(const CallPipeline&) = delete;

    // Adds the call `code` with the request `data` (flags 0) to `object`, taking over the
    // caller's reference. A remote object's request is queued now and sent before the
    // next wait (a failure becomes that call's result, as does a request whose building
    // failed); an object in this process is called only when its result is taken; a null
    // object's result is -ENOENT. False, with nothing taken, when the pipeline is full.
    bool add(sp<IBinder> object, uint32_t code, const Parcel& data);

    // Hands over the result of the oldest call: the status sendTransaction would have
    // returned, and the reply into `reply` (empty after any failure). Waits at most until
    // that call's own bound. -ENODATA when no call waits.
    status_t takeOldest(Parcel* reply);

    // Calls added and not yet taken.
    size_t size() const { return count_; }
    bool full() const { return count_ == capacity_; }

  private:
    struct Slot;
    struct Channel;

    // The call added `age` calls after the oldest.
    Slot& slot(size_t age);
    // Settles a call that never reached a channel with `status`.
    void settle(Slot& s, status_t status);
    // The entry for the channel of `s`, made when it is the first call on it.
    void join(Slot& s);
    void leave(Slot& s);
    // Waits until the oldest call's reply is in or its time is up, taking in the replies
    // of later calls meanwhile.
    void waitForOldest();

    size_t capacity_;
    std::vector<Slot> slots_;
    // The channels with calls in flight, and the poll set built over them for each wait.
    std::vector<Channel> channels_;
    std::vector<::pollfd> polled_;
    std::vector<ClientChannel*> polledChannels_;
    size_t oldest_ = 0;
    size_t count_ = 0;
    size_t heldBytes_ = 0;
};

}  // namespace zorlek
