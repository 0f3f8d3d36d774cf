// SPDX-License-Identifier: Apache-2.0
// The client's side of a connection: a stream socket one thread asks on and waits for its
// answers, every wait bounded. Answers are read through the one decoder, MessageReader.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>

#include "platform/base/status.h"
#include "platform/base/unique_fd.h"
#include "platform/transport/deadline.h"
#include "platform/transport/message_reader.h"

namespace zorlek {

class Stream {
  public:
    Stream() = default;
    // Takes `sock` (connected, non-blocking); its reader reads at most `bufferSize` bytes
    // a receive and accepts payloads up to `maxPayload`.
    Stream(unique_fd sock, size_t bufferSize, size_t maxPayload);
    // Closes the socket as reset() does.
    ~Stream();
    Stream(Stream&& other) noexcept;
    Stream& operator=(Stream&& other) noexcept;

    bool valid() const { return sock_.valid(); }
    int fd() const { return sock_.get(); }
    // Closes the socket and forgets whatever was received of it. The peer may have left
    // descriptors unread in the socket, whose last close could block: it is closed
    // through closeSocket() (fd_closer.h), never blocking.
    void reset();
    // For a connection whose peer sends only answers, once every request it was sent has
    // been answered: nothing more can arrive, so when nothing waits unread either, the
    // socket is closed at once; otherwise as reset().
    void closeAnswered();
    // Gives the socket up to the caller, forgetting whatever was received of it.
    unique_fd release();

    // Lets a receive wait inside recvmsg, bounded by the socket's receive timeout set to
    // `timeoutMs`, rather than in a poll() before it: one system call fewer. Should a step
    // fail, receives stay safe: the socket stays non-blocking and they wait in poll().
    void waitInReceive(int timeoutMs);
    bool waitsInReceive() const { return blockingReceive_; }
    // True when a receive may wait inside recvmsg with `deadline` to keep: its receive
    // timeout is no longer than the time left (which is rounded up to the millisecond).
    bool receiveMayWait(const Deadline& deadline) const {
        return blockingReceive_ && deadline.remainingMs() >= receiveTimeoutMs_;
    }

    // Sends every byte of `iov[0..count)`, `passFd` with the first (none when negative),
    // waiting for room until `deadline`. 0; -EPIPE when the peer is gone; -ETIMEDOUT when
    // it took no bytes in time; -errno. After a failure part may have gone.
    status_t sendAll(iovec* iov, int count, int passFd, const Deadline& deadline);

    // The next message: one already received, or bytes received until one is whole,
    // waiting at most until `deadline` (however many bytes arrive meanwhile). 0;
    // -ETIMEDOUT; -EPIPE when the peer closed (also mid-message); -EMSGSIZE or -EBADMSG
    // for malformed bytes. After a failure other than -ETIMEDOUT the stream is out of step
    // and must not be used again.
    // A message of a type this version does not know is answered with MSG_ERROR and passed
    // over.
    status_t receive(Message* out, const Deadline& deadline);

    MessageReader& reader() { return reader_; }
    const MessageReader& reader() const { return reader_; }

  private:
    // Tells the peer that `message` is of a type not known here.
    void answerUnknown(const MessageHeader& message);

    unique_fd sock_;
    MessageReader reader_{kHeaderSize, 0};
    bool blockingReceive_ = false;
    int receiveTimeoutMs_ = 0;
};

}  // namespace zorlek
