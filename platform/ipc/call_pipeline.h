// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/base/ibinder.h"
#include "platform/base/parcel.h"

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
// timeout, counted from when it was sent, and the calls asked again (below) one more
// timeout in all, counted from the first of them; replies taken in ahead of their turn are held up
// to kHeldReplyBytes in all (with the large replies still arriving), past which only the
// channel of the oldest call is read, and the replies it brings for calls added with
// `mayAskAgain` are dropped and those calls asked again at their turn. Room for calls is
// taken as they are added, up to `capacity`; after that a call allocates nothing beyond the
// parcels' own buffers. Used from the one thread that uses the objects.
class CallPipeline {
  public:
    // Room for `capacity` calls (at least one).
    explicit CallPipeline(size_t capacity);
    ~CallPipeline();
    CallPipeline(const CallPipeline&) = delete;
    CallPipeline& operator=(const CallPipeline&) = delete;

    // Adds the call `code` with the request `data` (flags 0) to `object`, taking over the
    // caller's reference. A remote object's request is queued now and sent before the
    // next wait (a failure becomes that call's result, as does a request whose building
    // failed); an object in this process is called only when its result is taken; a null
    // object's result is -ENOENT. With `mayAskAgain`, for a call that does no harm asked
    // twice (such as the descriptor query), the pipeline may drop its reply for want of
    // room and ask again at its turn (the request is kept until then). False, with nothing
    // taken, when the pipeline is full.
    bool add(sp<IBinder> object, uint32_t code, const Parcel& data, bool mayAskAgain = false);

    // Sends the requests added so far now, as far as the sockets take them, without
    // waiting: for a caller with work of its own to do while the objects answer.
    void flush();

    // Hands over the result of the oldest call: the status sendTransaction would have
    // returned, and the reply into `reply` (empty after any failure). Waits at most until
    // that call's own bound. -ENODATA when no call waits.
    status_t takeOldest(Parcel* reply);

    // Calls added and not yet taken.
    size_t size() const { return count_; }
    bool full() const { return count_ == capacity_; }

  private:
    struct Slot;
    struct SlotBlock;

    // The call added `age` calls after the oldest; its room is made on first use.
    Slot& slot(size_t age);
    // Settles a call that never reached a channel with `status`.
    void settle(Slot& s, status_t status);
    // Sends the call of `s`, with the request `data`, on its object's channel.
    void send(Slot& s, const Parcel& data);
    // The entry for the channel of `s`, made when it is the first call on it.
    void join(Slot& s);
    void leave(Slot& s);
    // Waits until the oldest call's reply is in or its time is up, taking in the replies
    // of later calls meanwhile, and asking it again when its reply was dropped.
    void waitForOldest();

    size_t capacity_;
    // The ring of calls, in blocks made as the ring first reaches them.
    std::vector<std::unique_ptr<SlotBlock>> blocks_;
    // The channels with calls in flight, how many calls each has, and the poll set built
    // over them for each wait.
    std::vector<sp<ClientChannel>> channels_;
    std::vector<size_t> channelCalls_;
    std::vector<::pollfd> polled_;
    std::vector<ClientChannel*> polledChannels_;
    size_t oldest_ = 0;
    size_t count_ = 0;
    size_t heldBytes_ = 0;
    // When the calls asked again stop waiting (monotonic milliseconds): one call timeout
    // after the first of them; -1 before it.
    int64_t askAgainByMs_ = -1;
};

}  // namespace zorlek
