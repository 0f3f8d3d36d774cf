// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <utility>
#include <vector>

#include "platform/base/byte_buffer.h"
#include "platform/base/status.h"
#include "platform/base/unique_fd.h"
#include "platform/transport/wire.h"

namespace zorlek {

// The sending side of a non-blocking stream socket in an event loop. A message goes out
// at once as far as the socket takes it (one sendmsg), and whatever the socket does not
// take waits here, in order, until flush() can send it. While corked, messages only join
// the queue, so that a batch of answers leaves in one sendmsg at uncork(). A message that
// carries a descriptor is always sent in a sendmsg of its own (see wire.h), and at once
// when nothing waits before it, corked or not. One that waited and then finds the kernel
// will carry no more descriptors goes without it, its value set to that failure. Never
// blocks, never raises SIGPIPE; memory is allocated without exceptions.
//
// A descriptor sent with a tag is followed: once its message has gone, with it or without
// it, takeFdOutcomes() says which. A descriptor that never goes is closed as a socket whose
// queue a peer may have filled (closeSocket, fd_closer.h): emptied of what waits in it,
// then closed at once.
class OutQueue {
  public:
    OutQueue() = default;
    ~OutQueue();
    OutQueue(const OutQueue&) = delete;
    OutQueue& operator=(const OutQueue&) = delete;

    // What became of a tagged descriptor: sent with its message (0), or the failure its
    // message went without it.
    struct FdOutcome {
        uint64_t tag;
        status_t status;
    };

    // Sends `header` (its size set to `size`) with `size` payload bytes and, when valid,
    // `fd` attached to the first byte. What the socket does not take now is copied and
    // queued behind anything already waiting. Returns 0; -EMSGSIZE when `size` passes
    // kMaxParcelSize (nothing sent); -ENOMEM, -ENOBUFS or -ETOOMANYREFS (the kernel would
    // take no more descriptors in flight) when nothing of the message was sent or queued,
    // and the connection stays in step; -EPIPE when the peer is gone; another -errno when
    // the socket failed, or -ECANCELED when part of the message went and the rest could
    // not be queued (the connection is then beyond use). With a `tag` other than 0, a
    // descriptor sent or queued here gets its outcome once its message goes (at once when
    // it went now); none when the queue is dropped first.
    status_t send(int sock, MessageHeader header, const uint8_t* payload, size_t size,
                  unique_fd fd = unique_fd(), uint64_t tag = 0);

    // The outcomes of tagged descriptors whose messages have gone since the last call, in
    // the order they went.
    std::vector<FdOutcome> takeFdOutcomes() { return std::exchange(outcomes_, {}); }
    bool hasFdOutcomes() const { return !outcomes_.empty(); }

    // Holds later messages back until uncork(), which sends them together (as flush()).
    void cork() { corked_ = true; }
    status_t uncork(int sock);
    bool corked() const { return corked_; }

    // Sends queued bytes until the socket takes no more. Returns 0, or -EPIPE / -errno.
    status_t flush(int sock);

    // Drops everything that waits (its descriptors closed as the destructor closes them)
    // and gives its memory back: for a connection that has ended.
    void clear();

    // True when nothing waits.
    bool empty() const { return bytes_.size() == 0; }
    // Bytes waiting; a loop stops reading a peer that lets too many pile up.
    size_t queuedBytes() const { return bytes_.size(); }
    // The memory the queue holds for them: as much as the most that waited since it last
    // emptied, until it empties.
    size_t heldBytes() const { return bytes_.capacity(); }
    // True while an answer to a message of a type not known here may be queued for the
    // peer: the rule of every connection, client or server. Such answers are owed to no
    // one waiting, so a peer that does not read what is sent to it gets none past
    // kUnknownAnswerRoom waiting bytes, and its messages are passed over unanswered.
    bool mayAnswerUnknown() const { return bytes_.size() < kUnknownAnswerRoom; }
    // Waiting messages that carry a descriptor.
    size_t queuedFds() const { return marks_.size(); }

  private:
    // A waiting message with a descriptor, at stream offsets [at, end).
    struct FdMark {
        uint64_t at;
        uint64_t end;
        unique_fd fd;
        uint64_t tag;
    };

    // send(), which leaves in `*fd` a descriptor that neither went nor waits.
    status_t sendOrQueue(int sock, MessageHeader header, const uint8_t* payload, size_t size,
                         unique_fd* fd, uint64_t tag);
    // Queues bytes [from, total) of a message whose first `kHeaderSize` bytes are `head`,
    // with `*fd` when queued.
    status_t enqueue(const uint8_t* head, const uint8_t* payload, size_t size, size_t from,
                     unique_fd* fd, uint64_t tag);
    // Tells the outcome of a tagged descriptor (none for tag 0).
    void settled(uint64_t tag, status_t status);
    // Sends waiting bytes from the front, up to `limit`, with `fd` attached; bytes sent,
    // 0 when the socket is full, or a negative status.
    ssize_t sendFront(size_t limit, int fd, int sock);

    ByteBuffer bytes_;
    uint64_t frontPos_ = 0;  // stream offset of bytes_[0]
    std::deque<FdMark> marks_;
    std::vector<FdOutcome> outcomes_;
    bool corked_ = false;
};

}  // namespace zorlek
