// SPDX-License-Identifier: Apache-2.0
// The one decoder of the framing (wire.h), for every connection: the event loop's and the
// blocking client's.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>

#include "platform/base/parcel.h"
#include "platform/base/unique_fd.h"
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
    // Who sent the bytes that began it, as the kernel told (SCM_CREDENTIALS); pid 0 when
    // the reader does not take credentials.
    ucred sender = {0, static_cast<uid_t>(-1), static_cast<gid_t>(-1)};
};

// Takes messages off a stream socket: each fill() is one recvmsg of whatever is there, and
// next() hands out the complete messages. A payload larger than the buffer is received
// straight into its parcel, which grows with the bytes that arrive rather than with the
// size a peer declares. The buffer is allocated at the first fill(), so a connection that
// never sends costs none.
//
// A received descriptor belongs to the last message whose header begins in the bytes it
// came with (see wire.h), and only a type that carries one may have it. A descriptor that
// belongs to no message, or to one of another type, or more than one at once, is a peer
// not speaking the protocol: next() says the bytes are malformed, and the descriptors are
// closed aside.
class MessageReader {
  public:
    // `bufferSize` is the most one fill() reads into the buffer (at least kHeaderSize);
    // `maxPayload` is the largest payload accepted (a larger declared size is malformed).
    // With `releaseWhenEmpty`, the buffer is freed whenever it holds nothing, for
    // connections that are idle far more than busy.
    MessageReader(size_t bufferSize, size_t maxPayload, bool releaseWhenEmpty = false);

    // Has every message carry its sender's credentials. The socket must have SO_PASSCRED
    // set, so that the kernel gives them with each receive and never joins the bytes of
    // two senders in one.
    void takeCredentials() { credentials_ = true; }
    // Never reads a byte past the message being taken, so that whatever follows stays in
    // the socket (for a handshake read before the socket is handed to another reader).
    // A message then costs a receive for its header and one for its payload.
    void readExactly() { exact_ = true; }

    // One recvmsg (the first also has the socket take out-of-band bytes in line, so that
    // none is skipped with its descriptors): without waiting, or with `wait`, blocking as the
    // socket does (bounded by its receive timeout; a non-blocking socket does not wait). Returns
    // the number of bytes read (> 0), 0 when the peer has closed, -EAGAIN when nothing is there (or
    // the wait ended), -EPIPE when the connection was reset, -EBADMSG when the peer keeps sending
    // descriptors or credentials that no message can claim, -ENOBUFS when the buffer is full of
    // complete messages (take them with next() first), -ENOMEM when a large payload could not be
    // given room, or another -errno.
    ssize_t fill(int fd, bool wait = false);

    // Takes bytes the caller already holds as if they had been received, without
    // descriptors (for tests and fuzzing). Returns how many were taken (fewer when the
    // room is short), or -ENOBUFS as fill() does.
    ssize_t feed(const uint8_t* bytes, size_t size);

    // Takes the next complete message into `out` (its payload's room is reused). Returns 1
    // when one was taken, 0 when more bytes are needed, -EMSGSIZE or -EBADMSG when the
    // bytes are malformed (the connection is then beyond repair), -ENOMEM when a large
    // payload could not be given room.
    int next(Message* out);

    // The bytes received and not yet taken as a message, when they all lie in the buffer
    // (none while a large payload is being received): for a registry that recognises the
    // start of an older peer's handshake.
    const uint8_t* buffered(size_t* size) const;

    // True while part of a message is held (a peer that closes now cut it short).
    bool midMessage() const { return big_ || end_ > begin_; }
    // The payload size of the next message when it is too large for the buffer and its
    // header is here, so that next() would begin taking it in; 0 otherwise.
    size_t largeAhead() const;
    // True from when next() begins taking in a message too large for the buffer until it
    // hands it out; and while that message still waits for bytes.
    bool largeUnderway() const { return big_; }
    bool largeAwaitsBytes() const { return big_ && bigGot_ < bigMessage_.header.size; }
    // Memory the reader holds now: its buffer and a large payload being received.
    size_t heldBytes() const { return (buffer_ ? bufferSize_ : 0) + partialPayloadBytes(); }
    // The room given so far to a large payload being received (0 when none is).
    size_t partialPayloadBytes() const { return big_ ? bigRoom_ : 0; }

  private:
    struct FdBatch {
        uint64_t start;  // stream offsets of the bytes that came with the descriptors
        uint64_t end;
        ReceivedFds fds;
    };
    struct CredentialBatch {
        uint64_t end;  // stream offset just past the bytes these credentials came with
        ucred sender;
    };

    status_t compact();
    // The room in the buffer the next receive may fill.
    size_t bufferRoom() const;
    // Points `iov` at where the next bytes go; the number of entries (0: no room, or a
    // negative status). `*toPayload` is how many of them a large message still waits for.
    int prepareRoom(iovec iov[2], size_t* toPayload);
    // Accounts for `got` bytes placed where prepareRoom() pointed.
    status_t received(size_t got, size_t toPayload, FdBatch batch, const ucred* sender);
    // Settles the descriptor batches for a message of `type` at stream offsets [at, end):
    // -EBADMSG when one belongs to no message or to one that carries none.
    status_t claimFds(uint64_t at, uint64_t end, uint32_t type, unique_fd* out);
    // The credentials of the bytes at stream offset `at`.
    ucred senderAt(uint64_t at);
    // Moves a message too large for the buffer into its own payload.
    int startBig(const MessageHeader& header, uint64_t start, size_t avail, unique_fd fd);

    std::unique_ptr<uint8_t[]> buffer_;
    size_t bufferSize_;
    bool releaseWhenEmpty_;
    bool credentials_ = false;
    bool exact_ = false;
    // Set once the socket takes out-of-band bytes in line (see takeOutOfBandInline()).
    bool outOfBandInline_ = false;
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
    std::deque<CredentialBatch> credentialBatches_;
};

}  // namespace zorlek
