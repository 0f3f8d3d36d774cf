// SPDX-License-Identifier: Apache-2.0
#include "platform/transport/memory_trimmer.h"

#include <malloc.h>

namespace zorlek {
MemoryTrimmer::MemoryTrimmer(EventLoop& loop, size_t afterClosed, size_t afterBytes)
    : afterClosed_(afterClosed), afterBytes_(afterBytes), timer_(loop, [this] { trim(); }) {}

void MemoryTrimmer::closed(size_t heldBytes) {
    ++closed_;
    bytes_ += heldBytes;
    if ((closed_ >= afterClosed_ || bytes_ >= afterBytes_) && !timer_.armed()) {
        timer_.armIn(kTrimDelayMs);
    }
}

void MemoryTrimmer::trim() {
    closed_ = 0;
    bytes_ = 0;
#ifdef __GLIBC__
    ::malloc_trim(0);
#endif
}

}  // namespace zorlek
