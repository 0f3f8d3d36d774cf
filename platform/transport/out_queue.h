#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "platform/ipc/status.h"
#include "platform/ipc/unique_fd.h"
#include "platform/transport/wire.h"

namespace zorlek {

// The sending side of a non-blocking stream socket in an event loop: a message goes out
// at once as far as the socket takes it (one sendmsg), and whatever the socket does not
// take waits here, in order, until flush() can send it. Never blocks, never raises
// SIGPIPE.
class OutQueue {
  public:
    // Sends `header` (its size set to `size`) with `size` payload bytes and, when valid,
    // `fd` attached to the first byte. What the socket does not take now is copied and
    // queued behind anything already waiting, counted under `tag` (0: under none) until
    // it has gone. Returns 0, -EMSGSIZE when `size` passes kMaxParcelSize (nothing sent),
    // or -EPIPE / -errno when the socket failed (the connection is then beyond use).
    status_t send(int sock, MessageHeader header, const uint8_t* payload, size_t size,
                  unique_fd fd = unique_fd(), uint32_t tag = 0);

    // Sends queued bytes until the socket takes no more. Returns 0, or -EPIPE / -errno.
    status_t flush(int sock);

    // True when nothing waits.
    bool empty() const { return chunks_.empty(); }
    // Bytes and messages waiting; a loop uses them to drop a peer that stops reading.
    size_t queuedBytes() const { return queuedBytes_; }
    size_t queuedMessages() const { return chunks_.size(); }
    // Waiting messages that carry a descriptor, and those queued under `tag`.
    size_t queuedFds() const { return queuedFds_; }
    size_t queuedWithTag(uint32_t tag) const;

  private:
    struct Chunk {
        std::vector<uint8_t> bytes;
        size_t offset = 0;
        unique_fd fd;  // still to be sent with the first byte at `offset` == 0
        uint32_t tag = 0;
    };

    void popFront();

    std::deque<Chunk> chunks_;
    size_t queuedBytes_ = 0;
    size_t queuedFds_ = 0;
    // Waiting messages per tag; tags are few (one per party), so a short list serves.
    std::vector<std::pair<uint32_t, size_t>> tagged_;
};

}  // namespace zorlek
