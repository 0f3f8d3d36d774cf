// SPDX-License-Identifier: Apache-2.0
// The one connection type of a client: its registry connection and each channel to a
// hosting process. A stream socket that one thread sends on and waits for answers on,
// every wait bounded by a deadline. Messages are framed and sent through the connection's
// queue (at once as far as the socket takes them, or together after a cork), and read
// through the one decoder, MessageReader. A message of a type this version does not know
// is answered here and never handed out; an answer to a peer counts against that peer
// (see OutQueue::mayAnswerUnknown). The serving connection of a hosting process or the
// registry is Connection (connection.h).
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "platform/base/deadline.h"
#include "platform/base/parcel.h"
#include "platform/base/status.h"
#include "platform/base/unique_fd.h"
#include "platform/transport/message_reader.h"
#include "platform/transport/out_queue.h"

namespace zorlek {

class ClientConnection {
  public:
    // No socket yet: every send fails with -EPIPE until adopt().
    ClientConnection(size_t bufferSize, size_t maxPayload);
    // Takes `sock` (connected, non-blocking); its reader reads at most `bufferSize` bytes
    // a receive and accepts payloads up to `maxPayload`.
    ClientConnection(unique_fd sock, size_t bufferSize, size_t maxPayload);
    // Closes the socket as reset() does.
    ~ClientConnection();
    ClientConnection(const ClientConnection&) = delete;
    ClientConnection& operator=(const ClientConnection&) = delete;

    // Closes any socket held (as reset()) and takes `sock` in its place.
    void adopt(unique_fd sock);
    bool valid() const { return sock_.valid(); }
    int fd() const { return sock_.get(); }
    // Closes the socket and forgets whatever was received of it and whatever waits to be
    // sent. The peer may have left descriptors unread in the socket, whose last close
    // could block: it is closed through closeSocket() (fd_closer.h), never blocking.
    void reset();
    // For a connection whose peer sends only answers, once every request it was sent has
    // been answered: nothing more can arrive, so when nothing waits unread either, the
    // socket is closed at once; otherwise as reset().
    void closeAnswered();
    // Gives the socket up to the caller, forgetting whatever was received of it.
    unique_fd release();
    // Has the kernel name the sender of every message from now on (Message::sender), for a
    // peer that may call this end. False when the socket refused.
    bool takeCredentials();
    // Never reads a byte past the message being taken (MessageReader::readExactly()).
    void readExactly() { reader_.readExactly(); }

    // Lets a receive wait inside recvmsg, bounded by the socket's receive timeout set to
    // `timeoutMs`, rather than in a poll() before it: one system call fewer. Should a step
    // fail, receives stay safe: the socket stays non-blocking and they wait in poll().
    // Sends never wait inside the kernel.
    void waitInReceive(int timeoutMs);
    bool waitsInReceive() const { return blockingReceive_; }
    // True when a receive may wait inside recvmsg with `leftMs` (Deadline::remainingMs())
    // to keep: its receive timeout is no longer than the time left.
    bool receiveMayWait(int leftMs) const {
        return blockingReceive_ && leftMs >= receiveTimeoutMs_;
    }

    // Sends a message (its header's size set from the payload) at once as far as the
    // socket takes it, or, while corked, queues it whole. What the socket does not take
    // waits in order and leaves at the next flush(), receive() or wait of the caller.
    // Returns 0; -EMSGSIZE for a payload over kMaxParcelSize; -ENOMEM when nothing of it
    // was sent or queued (the connection stays in step); -EPIPE without a socket or when
    // the peer is gone; -ECANCELED when part of it went and the rest could not be queued;
    // another -errno when the socket failed. After the last three the connection is
    // beyond use: the caller resets it.
    // `fd`, when valid, goes with the message's first byte (see wire.h for the types that
    // carry one).
    status_t send(const MessageHeader& header, const uint8_t* payload, size_t size,
                  unique_fd fd = unique_fd());
    status_t send(const MessageHeader& header, const Parcel& payload) {
        return send(header, payload.data(), payload.dataSize());
    }
    // Holds what is sent from now on until the next flush(), so that many messages leave
    // in one write.
    void cork() { out_.cork(); }
    // Sends what waits as far as the socket takes it now. 0, or the socket's failure.
    status_t flush();
    // True while messages wait to be sent.
    bool wantsToSend() const { return !out_.empty(); }

    // One recvmsg of what is there (with `wait`, waiting inside it as waitInReceive()
    // allows), as MessageReader::fill().
    ssize_t fill(bool wait = false) { return reader_.fill(sock_.get(), wait); }
    // The next message received whole, as MessageReader::next(), with those of a type this
    // version does not know answered (as far as the peer's queue has room) and passed over.
    int next(Message* out);
    // The next message: one already received, or bytes received until one is whole,
    // sending what waits meanwhile, at most until `deadline` (however many bytes arrive).
    // 0; -ETIMEDOUT; -EPIPE when the peer closed (also mid-message); -EMSGSIZE or
    // -EBADMSG for malformed bytes; the socket's failure. After a failure other than
    // -ETIMEDOUT the connection is out of step and must not be used again.
    status_t receive(Message* out, const Deadline& deadline);
    // Sends what waits, waiting for room until `deadline`. 0, -ETIMEDOUT, or the socket's
    // failure.
    status_t drain(const Deadline& deadline);

    // 0 when `answer` is of `type`; -EBADRQC for MSG_ERROR in its place (the peer did not
    // know the message); -EBADMSG for anything else.
    static status_t answerStatus(const Message& answer, uint32_t type);

    // The room taken by a large message being received, not yet whole.
    size_t partialBytes() const { return reader_.partialPayloadBytes(); }
    // True while part of a message has been received and not the rest.
    bool midMessage() const { return reader_.midMessage(); }
    // Bytes waiting to be sent, and the memory the connection holds for them and for
    // what it reads.
    size_t queuedBytes() const { return out_.queuedBytes(); }
    size_t heldBytes() const { return reader_.heldBytes() + out_.heldBytes(); }

  private:
    unique_fd sock_;
    size_t bufferSize_;
    size_t maxPayload_;
    MessageReader reader_;
    OutQueue out_;
    bool blockingReceive_ = false;
    int receiveTimeoutMs_ = 0;
};

}  // namespace zorlek
