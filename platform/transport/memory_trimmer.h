// SPDX-License-Identifier: Apache-2.0
// Gives memory back to the system after many connections have closed, or a few that held
// much: their buffers lie scattered over the heap, where the allocator would keep them for
// good after a flood.
#pragma once

#include <cstddef>

#include "platform/transport/event_loop.h"

namespace zorlek {

class MemoryTrimmer {
  public:
    // Trims shortly after every `afterClosed` closed connections, and after closed
    // connections that held `afterBytes` in all.
    MemoryTrimmer(EventLoop& loop, size_t afterClosed, size_t afterBytes);

    // One more connection has closed, which held `heldBytes`.
    void closed(size_t heldBytes);

  private:
    void trim();

    size_t afterClosed_;
    size_t afterBytes_;
    size_t closed_ = 0;
    size_t bytes_ = 0;
    Timer timer_;
};

}  // namespace zorlek
