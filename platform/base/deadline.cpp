// SPDX-License-Identifier: Apache-2.0
#include "platform/base/deadline.h"

#include <poll.h>
#include <time.h>

namespace zorlek {

int64_t monotonicNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

Deadline Deadline::after(int ms) {
    Deadline d;
    d.atNs_ = monotonicNs() + static_cast<int64_t>(ms) * 1000000;
    return d;
}

int Deadline::remainingMsAt(int64_t nowNs) const {
    int64_t left = atNs_ - nowNs;
    if (left <= 0) return 0;
    // Round up so that a wait never ends just before the deadline and spins.
    return static_cast<int>((left + 999999) / 1000000);
}

int64_t monotonicMs() {
    return monotonicNs() / 1000000;
}

void sleepMs(int ms) {
    timespec left{ms / 1000, (ms % 1000) * 1000000L};
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

status_t waitFor(int fd, short events, const Deadline& deadline) {
    for (;;) {
        int left = deadline.remainingMs();
        if (left == 0) return -ETIMEDOUT;
        pollfd p{fd, events, 0};
        int n = ::poll(&p, 1, left);
        if (n > 0) return OK;
        if (n < 0 && errno != EINTR) return -errno;
    }
}

}  // namespace zorlek
