#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/ipc/ibinder.h"
#include "platform/ipc/parcel.h"

struct pollfd;

namespace zorlek {

// Two-way transactions to many objects at once, their results handed back strictly in the
// order the calls were added. A proxy's request goes out when its call is added; while
// the caller waits for the oldest result, the replies of later calls are taken in as they
// arrive (and their objects, with their channels, let go), so that k objects that never
// answer cost about one call timeout together, not k.
//
// Bounds: at most `capacity` calls at once, so at most that many objects (and channels)
// held; each call waits at most its proxy's call timeout, counted from when its request
// went out; replies taken in ahead of their turn are held up to kHeldReplyBytes in all
// (past that, only the oldest call's reply is read). Everything is allocated when the
// pipeline is made; after that a call allocates nothing beyond the parcels' own buffers.
// Not for use from several threads at once.
class CallPipeline {
  public:
    // Replies held ahead of their turn, in bytes, before the pipeline reads only the
    // oldest call's reply.
    static constexpr size_t kHeldReplyBytes = 4 * 1024 * 1024;

    // Room for `capacity` calls (at least one).
    explicit CallPipeline(size_t capacity);
    ~CallPipeline();
    CallPipeline(const CallPipeline&) = delete;
    CallPipeline& operator=(const CallPipeline&) = delete;

    // Adds the call `code` with the request `data` (flags 0) to `object`, taking over the
    // caller's reference. A proxy's request is sent now (a failure to send becomes that
    // call's result); any other object is called only when its result is taken; a null
    // object's result is -ENOENT. False, with nothing taken, when the pipeline is full.
    bool add(sp<IBinder> object, uint32_t code, const Parcel& data);

    // Hands over the result of the oldest call: the status sendTransaction would have
    // returned, and the reply into `reply` (empty after any failure). Waits at most until
    // that call's own bound. -ENODATA when no call waits.
    status_t takeOldest(Parcel* reply);

    // Calls added and not yet taken, and the most there can be.
    size_t size() const { return count_; }
    size_t capacity() const { return capacity_; }
    bool full() const { return count_ == capacity_; }

  private:
    struct Slot;

    // The call added `age` calls after the oldest.
    Slot& slot(size_t age);
    // Settles a call with `status` and lets its object go.
    void settle(Slot& s, status_t status);
    // Takes in the reply of a proxy whose channel is readable.
    void receive(Slot& s);
    // Waits until the oldest call's reply is in or its time is up, taking in the
    // replies of later calls meanwhile.
    void waitForOldest();

    size_t capacity_;
    std::vector<Slot> slots_;
    // The poll set, rebuilt for each wait, and the age of the call behind each entry.
    std::vector<::pollfd> polled_;
    std::vector<size_t> polledAge_;
    size_t oldest_ = 0;
    size_t count_ = 0;
    size_t heldBytes_ = 0;
};

}  // namespace zorlek
