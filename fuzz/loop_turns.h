// SPDX-License-Identifier: Apache-2.0
// The serving loop of a server that a fuzz target runs on its own thread, turned between
// the steps of the peers it plays.
#pragma once

#include <cstdint>
#include <functional>

#include "fuzz/attached_descriptors.h"
#include "fuzz/check.h"
#include "platform/base/deadline.h"
#include "platform/transport/event_loop.h"

namespace zorlek::fuzz {

// One turn of `loop` that does not wait. Ends the run as a finding when the loop fails,
// or when the turn takes as long as a close that waits on a lingering socket: `stalled`
// says what then failed to hold.
inline void turnOnce(EventLoop& loop, const char* stalled) {
    int64_t start = monotonicMs();
    check(loop.runOnce(0) == OK, "the serving loop turns");
    check(monotonicMs() - start < AttachedDescriptors::kStallMs, stalled);
}

// Turns the loop (`turn`) and has every peer read what has come (`readAll`, true when any
// read a byte or saw its end) until four turns in a row bring nothing, or 2,000 have passed.
// With `settled`, each turn's closes aside are done before the peers read: a connection
// the loop drops ends for its peer only once the closer thread has closed it, and a peer
// that read nothing of its end would be judged as still served. Only once no socket that
// lingers is left, since such a close waits for it.
inline void drainTurns(const std::function<void()>& turn, const std::function<bool()>& readAll,
                       bool settled = false) {
    for (int round = 0, idle = 0; round < 2000 && idle < 4; ++round) {
        turn();
        if (settled) check(closesAsideDone(10000), "the descriptors closed aside are closed");
        idle = readAll() ? 0 : idle + 1;
    }
}

}  // namespace zorlek::fuzz
