// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>

#include "platform/base/status.h"

namespace zorlek {

// Nanoseconds on the monotonic clock.
int64_t monotonicNs();

// A point on the monotonic clock by which a wait must end.
class Deadline {
  public:
    // The deadline `ms` milliseconds from now.
    static Deadline after(int ms);
    // Milliseconds left, rounded up, 0 once passed; suitable for poll().
    int remainingMs() const { return remainingMsAt(monotonicNs()); }
    // The same at `nowNs`, a reading of monotonicNs() the caller has already taken.
    int remainingMsAt(int64_t nowNs) const;
    // The later of `a` and `b`.
    static Deadline later(const Deadline& a, const Deadline& b) {
        return a.atNs_ < b.atNs_ ? b : a;
    }

  private:
    int64_t atNs_ = 0;
};

// Milliseconds on the monotonic clock.
int64_t monotonicMs();

// The pause after `pauseMs` when tries keep failing: twice as long, at most `capMs`.
inline int doubledPause(int pauseMs, int capMs) {
    return pauseMs * 2 > capMs ? capMs : pauseMs * 2;
}

// Sleeps `ms` milliseconds, also across signals.
void sleepMs(int ms);
// Sleeps `pauseMs`, or less when `deadline` comes first: the pause between two tries.
inline void pauseBefore(int pauseMs, const Deadline& deadline) {
    int left = deadline.remainingMs();
    sleepMs(pauseMs < left ? pauseMs : left);
}

// Waits until `fd` reports one of `events` (POLLIN, POLLOUT) or an error/hang-up, or
// the deadline passes. Returns 0 when ready, -ETIMEDOUT when the deadline passed.
// Retries after signals.
status_t waitFor(int fd, short events, const Deadline& deadline);

}  // namespace zorlek
