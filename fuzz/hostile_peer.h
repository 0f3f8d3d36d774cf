// SPDX-License-Identifier: Apache-2.0
// The far end of a real socket, played by a fuzz input as an attacker would play it: bytes
// queued and sent in pieces of the input's choosing, each send with descriptors
// (SCM_RIGHTS) and credentials (SCM_CREDENTIALS) attached as the input asks, large
// payloads made on the fly rather than carried in the input, and the socket closed at any
// moment. It keeps account of what it sent as the other side reads it (each whole message
// with the credentials its first byte came with, up to the first frame the other side
// must refuse), and takes what it receives apart with the platform's own reader.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "platform/base/parcel.h"
#include "platform/base/unique_fd.h"
#include "platform/transport/message_reader.h"
#include "platform/transport/wire.h"

namespace zorlek::fuzz {

class HostilePeer {
  public:
    // Takes `sock`, a connected Unix stream socket. `theirMaxPayload` is the largest payload
    // the other side accepts: past it, or at a size not a multiple of 4, this peer's stream
    // is malformed for it. It takes payloads up to kMaxParcelSize.
    HostilePeer(unique_fd sock, size_t theirMaxPayload);
    HostilePeer(const HostilePeer&) = delete;
    HostilePeer& operator=(const HostilePeer&) = delete;

    // Queues bytes to send, as given.
    void queue(const uint8_t* bytes, size_t size);
    // Queues a header with the size it claims, which may lie.
    void queueHeader(const MessageHeader& header);
    // Queues a whole message: its header (size set) and `payload`.
    void queueMessage(MessageHeader header, const uint8_t* payload, size_t size);
    // Queues `size` bytes made from `seed` (zeros for 0) without holding them.
    void queuePattern(size_t size, uint8_t seed);
    // Bytes queued and not sent yet.
    size_t queued() const { return queuedBytes_; }

    // The credentials the kernel gives the other side for a send that names none: this
    // process's, or none (pid 0) when neither end asked for them when the bytes went.
    void setDefaultSender(const ucred& sender) { defaultSender_ = sender; }

    // One sendmsg, without waiting, of at most `limit` queued bytes with `fds` (`fdCount`
    // of them) and, when not null, `credentials` attached. The bytes sent; 0 when nothing
    // is queued or the socket is full; -EPIPE once the other side is gone; or the -errno of
    // a send the kernel refused (descriptors refused, credentials not allowed), nothing
    // sent.
    ssize_t send(size_t limit, const int* fds = nullptr, size_t fdCount = 0,
                 const ucred* credentials = nullptr);
    // Sends what is queued, without attachments, until all has gone or the socket is full.
    void sendQueued();

    // Takes the next message of those sent whole, with its sender: 1, or 0 when no more
    // has been sent whole.
    int nextSent(Message* out);
    // True once the stream sent holds a frame the other side must refuse; nothing after it
    // is accounted.
    bool sentMalformed() const { return sentMalformed_; }
    // True while the stream sent stops in the middle of a message too large for the read
    // buffer of a server's connection (which counts such a message in full from its header).
    bool sentLargeInPart() const { return mirror_.largeAwaitsBytes(); }

    // The next message that has arrived from the other side, without waiting: 1 with it
    // in `out`; 0 when none is whole yet; -EPIPE once the other side has closed (after its
    // last whole message); or the reader's failure on malformed bytes.
    int nextReceived(Message* out);

    // Bytes received so far: what shows that the other side is still sending.
    uint64_t receivedBytes() const { return receivedBytes_; }

    // What the kernel holds of its sends that the other side has not read yet (SIOCOUTQ,
    // in the kernel's units); 0 once closed. A fall shows that the other side still reads.
    int unreadByOtherSide() const;

    // True while this end is open.
    bool open() const { return sock_.valid(); }
    // True once the other side has been seen closing, or a send found it gone.
    bool ended() const { return ended_; }
    int fd() const { return sock_.get(); }

    // Stops sending (the other side reads the end of the stream) but still reads.
    void shutdownWrite();
    // Closes this end; whatever is still queued is dropped.
    void close();

    // Memory this peer holds, to tell it apart from the memory of the code under test.
    size_t heldBytes() const;

  private:
    struct Segment {
        std::vector<uint8_t> bytes;  // as given, or
        size_t patternSize = 0;      // made from `seed`, at offset `taken`
        uint8_t seed = 0;
        size_t taken = 0;
        size_t size() const { return bytes.empty() ? patternSize - taken : bytes.size() - taken; }
    };
    struct SenderRange {
        uint64_t end;  // the stream offset just past the bytes sent with `sender`
        ucred sender;
    };

    // Copies up to `limit` queued bytes into the send buffer; how many.
    size_t gather(size_t limit);
    // Drops `count` sent bytes from the queue.
    void consume(size_t count);
    // Accounts for `count` bytes of the send buffer that went with `sender`.
    void mirror(size_t count, const ucred& sender);

    unique_fd sock_;
    bool ended_ = false;
    bool writeShut_ = false;
    std::deque<Segment> queue_;
    size_t queuedBytes_ = 0;
    std::vector<uint8_t> sendBuffer_;
    ucred defaultSender_ = {0, 0, 0};

    // The stream as the other side takes it apart.
    MessageReader mirror_;
    uint64_t sentPos_ = 0;    // bytes sent so far
    uint64_t mirrorPos_ = 0;  // where the next whole message begins
    bool sentMalformed_ = false;
    std::deque<SenderRange> senders_;
    std::deque<Message> sent_;

    MessageReader reader_;
    uint64_t receivedBytes_ = 0;
};

// The byte at offset `at` of a payload queuePattern() makes from `seed`.
uint8_t patternByte(uint8_t seed, size_t at);

// The credentials of this process, as the kernel attaches them when asked.
ucred ownCredentials();

// Credentials a sender may claim, chosen by `choice`: this process's pid or init's (the
// kernel accepts only a pid that exists) with one of a few users and groups, as root may
// claim them; this process's own when it is not root.
ucred chosenCredentials(uint8_t choice);

}  // namespace zorlek::fuzz
