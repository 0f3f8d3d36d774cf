// SPDX-License-Identifier: Apache-2.0
// A prototype of a shared-memory path for a channel, for measuring only (the library does
// not use it). Each process writes one segment of its own: a memfd holding the ring of what
// it sends and the read index of the ring it receives from, mapped for writing once and then
// sealed against any other writable mapping. Its peer maps it read-only after checking its
// seals and size, so each index and each byte has one writer. The reader trusts nothing it reads:
// every index is checked against the ring's size, every length against what the ring holds and the
// largest message, and a message is copied out before it is looked at. A reader with
// nothing to read polls for its PollBudget, then sleeps on a futex on the writer's index;
// the writer wakes it only when it said it sleeps.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/base/unique_fd.h"
#include "platform/transport/poll_budget.h"

namespace zorlek::bench {

// The ring's bytes (a power of two) and the largest message it carries.
constexpr uint32_t kShmRingBytes = 64 * 1024;
constexpr uint32_t kShmMaxMessage = 4096;

// What one process writes. The writer's index and its peer's sleeping flag sit on lines of
// their own, so that a write of one does not move the other's cache line.
struct ShmSegment {
    alignas(64) std::atomic<uint32_t> head;  // bytes written into `ring`, free-running
    alignas(64) std::atomic<uint32_t> tail;  // bytes read of the peer's ring
    std::atomic<uint32_t> sleeping;          // 1 while this process sleeps on the peer's head
    alignas(64) uint8_t ring[kShmRingBytes];
};

// A memfd the size of a segment, mapped for writing into `*out` and then sealed (size, and
// writable mappings but that one); the descriptor, or an invalid one on failure.
unique_fd makeSegment(ShmSegment** out);
// The same memfd opened again read-only, to hand to the peer.
unique_fd readOnlyView(int segmentFd);
// Maps a peer's segment read-only after checking that it is sealed as makeSegment() seals
// and is a segment's size; null otherwise.
const ShmSegment* mapPeer(int fd);

// One end of a channel over two segments.
class ShmEnd {
  public:
    ShmEnd(ShmSegment* own, const ShmSegment* peer, const PollBudget& budget)
        : own_(own), peer_(peer), budget_(budget) {}
    // Writes one message and wakes the peer if it sleeps. False when it does not fit, or
    // the peer's index is impossible.
    bool send(const uint8_t* data, uint32_t size);
    // The next message, copied into `out` (kShmMaxMessage bytes): its size; 0 after
    // `timeoutMs` with none; -1 when the peer broke the ring.
    int receive(uint8_t* out, int timeoutMs);

  private:
    // One message if there is one: its size, 0 when none, -1 for a broken ring.
    int take(uint8_t* out);
    int sleepFor(uint8_t* out, int timeoutMs);

    ShmSegment* own_;
    const ShmSegment* peer_;
    PollBudget budget_;
};

}  // namespace zorlek::bench
