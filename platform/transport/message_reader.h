#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "platform/ipc/parcel.h"
#include "platform/ipc/unique_fd.h"
#include "platform/transport/fd_passing.h"
#include "platform/transport/wire.h"

namespace zorlek {

// One message taken off a connection.
struct Message {
    MessageHeader header;
    // The payload, rewound.
    Parcel payload;
    // The descriptor that came with it; only ever set for a type that carries one.
    unique_fd fd;
};

// Takes messages off a non-blocking stream socket for an event loop: each fill() is one
// recvmsg of whatever is there, and next() hands out the complete messages. A payload
// larger than the buffer is received straight into its parcel, which grows with the bytes
// that arrive rather than with the size a peer declares. The buffer is allocated at the
// first fill(), so a connection that never sends costs none.
//
// A received descriptor belongs to the last message whose header begins in the same
// recvmsg (the kernel ends a recvmsg after the bytes that carried descriptors, and a
// sender attaches one to a message's first bytes). It is handed out only with a type that
// carries one; every other descriptor is closed.
class MessageReader {
  public:
    // `bufferSize` is the most one fill() reads into the buffer (at least kHeaderSize);
    // `maxPayload` is the largest payload accepted (a larger declared size is malformed).
    // With `releaseWhenEmpty`, the buffer is freed whenever it holds nothing, for
    // connections that are idle far more than busy.
    MessageReader(size_t bufferSize, size_t maxPayload, bool releaseWhenEmpty = false);

    // One recvmsg. Returns the number of bytes read (> 0), 0 when the peer has closed,
    // -EAGAIN when nothing is there, -EPIPE when the connection was reset, -EBADMSG when
    // the peer keeps sending descriptors that no message can claim, -ENOBUFS when the
    // buffer is full of complete messages (take them with next() first), or another
    // -errno.
    ssize_t fill(int fd);

    // Takes bytes the caller already holds as if they had been received, without
    // descriptors (for tests and fuzzing). Returns how many were taken (fewer when the
    // room is short), or -ENOBUFS as fill() does.
    ssize_t feed(const uint8_t* bytes, size_t size);

    // Takes the next complete message into `out`. Returns 1 when one was taken, 0 when
    // more bytes are needed, -EMSGSIZE or -EBADMSG when the bytes are malformed (the
    // connection is then beyond repair).
    int next(Message* out);

    // True while part of a message is held (a peer that closes now cut it short).
    bool midMessage() const { return big_ || end_ > begin_; }
    // Memory the reader holds now: its buffer and a large payload being received.
    size_t heldBytes() const { return (buffer_ ? bufferSize_ : 0) + (big_ ? bigRoom_ : 0); }

  private:
    struct FdBatch {
        uint64_t start;  // stream offsets of the bytes that came with the descriptors
        uint64_t end;
        ReceivedFds fds;
    };

    void compact();
    // Points `iov` at where the next bytes go; the number of entries (0: no room).
    // `*toPayload` is how many of them a large message still waits for.
    int prepareRoom(iovec iov[2], size_t* toPayload);
    // Accounts for `got` bytes placed where prepareRoom() pointed.
    status_t received(size_t got, size_t toPayload, FdBatch batch);
    // Settles the descriptor batches for a message at stream offsets [at, end).
    void claimFds(uint64_t at, uint64_t end, uint32_t type, unique_fd* out);

    std::unique_ptr<uint8_t[]> buffer_;
    size_t bufferSize_;
    bool releaseWhenEmpty_;
    size_t begin_ = 0;  // unparsed bytes are buffer_[begin_, end_)
    size_t end_ = 0;
    uint64_t bufferStreamPos_ = 0;  // stream offset of buffer_[begin_]
    size_t maxPayload_;

    // A large message being received straight into its payload.
    bool big_ = false;
    Message bigMessage_;
    uint8_t* bigData_ = nullptr;  // bigMessage_.payload's bytes
    size_t bigGot_ = 0;
    size_t bigRoom_ = 0;   // the payload's size so far, grown as bytes arrive
    uint64_t bigEnd_ = 0;  // stream offset just past it

    std::deque<FdBatch> fdBatches_;
    // Descriptors that came inside a large payload, where no message can claim them.
    size_t strayBatches_ = 0;
};

}  // namespace zorlek
