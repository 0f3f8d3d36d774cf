// SPDX-License-Identifier: Apache-2.0
// Gives memory back to the system after many connections have closed: their buffers lie
// scattered over the heap, where the allocator would keep them for good after a flood.
#pragma once

#include <cstddef>

#include "platform/transport/event_loop.h"

namespace zorlek {

class MemoryTrimmer {
  public:
    // Trims shortly after every `afterClosed` closed connections.
    MemoryTrimmer(EventLoop& loop, size_t afterClosed);

    // One more connection has closed.
    void closed();

  private:
    void trim();

    size_t afterClosed_;
    size_t closed_ = 0;
    Timer timer_;
};

}  // namespace zorlek
