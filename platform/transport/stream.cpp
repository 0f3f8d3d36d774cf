// SPDX-License-Identifier: Apache-2.0
#include "platform/transport/stream.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <utility>

#include "platform/transport/fd_closer.h"
#include "platform/transport/fd_passing.h"

namespace zorlek {

Stream::Stream(unique_fd sock, size_t bufferSize, size_t maxPayload)
    : sock_(std::move(sock)), reader_(bufferSize, maxPayload) {}

Stream::~Stream() {
    closeSocket(std::move(sock_));
}

Stream::Stream(Stream&& other) noexcept
    : sock_(std::move(other.sock_)),
      reader_(std::move(other.reader_)),
      blockingReceive_(std::exchange(other.blockingReceive_, false)),
      receiveTimeoutMs_(other.receiveTimeoutMs_) {}

Stream& Stream::operator=(Stream&& other) noexcept {
    if (this == &other) return *this;
    closeSocket(std::move(sock_));
    sock_ = std::move(other.sock_);
    reader_ = std::move(other.reader_);
    blockingReceive_ = std::exchange(other.blockingReceive_, false);
    receiveTimeoutMs_ = other.receiveTimeoutMs_;
    return *this;
}

void Stream::reset() {
    closeSocket(std::move(sock_));
    reader_ = MessageReader(kHeaderSize, 0);
    blockingReceive_ = false;
}

void Stream::closeAnswered() {
    int unread = -1;
    if (sock_ && ::ioctl(sock_.get(), FIONREAD, &unread) == 0 && unread == 0) sock_.reset();
    reset();
}

unique_fd Stream::release() {
    unique_fd sock = std::move(sock_);
    reset();
    return sock;
}

void Stream::waitInReceive(int timeoutMs) {
    timeval bound{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    if (::setsockopt(sock_.get(), SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof(bound)) != 0) return;
    int flags = ::fcntl(sock_.get(), F_GETFL);
    if (flags < 0) return;
    // A socket made blocking (as the registry makes channels) needs no change.
    if ((flags & O_NONBLOCK) != 0 && ::fcntl(sock_.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        return;
    }
    blockingReceive_ = true;
    receiveTimeoutMs_ = timeoutMs;
}

status_t Stream::sendAll(iovec* iov, int count, int passFd, const Deadline& deadline) {
    for (;;) {
        ssize_t n = sendNow(sock_.get(), iov, count, passFd);
        if (n < 0) return static_cast<status_t>(n);
        // Step past what went; the descriptor went with the first byte.
        size_t sent = static_cast<size_t>(n);
        if (sent > 0) passFd = -1;
        while (count > 0 && sent >= iov->iov_len) {
            sent -= iov->iov_len;
            ++iov;
            --count;
        }
        if (count == 0) return OK;
        iov->iov_base = static_cast<uint8_t*>(iov->iov_base) + sent;
        iov->iov_len -= sent;
        if (n == 0) {
            status_t waited = waitFor(sock_.get(), POLLOUT, deadline);
            if (waited != OK) return waited;
        }
    }
}

status_t Stream::receive(Message* out, const Deadline& deadline) {
    // The first receive may block in the kernel, under the socket's timeout, when that
    // ends no later than the deadline; every later one only takes what is there, and the
    // waits between them end at the deadline.
    bool wait = receiveMayWait(deadline);
    for (;;) {
        int got = reader_.next(out);
        if (got == 1 && knownMessageType(out->header.type)) return OK;
        if (got == 1) {
            // A newer peer's message: answered that it is not known here, and passed over.
            answerUnknown(out->header);
            // However many such messages come, the wait ends on time.
            if (deadline.remainingMs() == 0) return -ETIMEDOUT;
            continue;
        }
        if (got < 0) return got;
        ssize_t n = reader_.fill(sock_.get(), wait);
        wait = false;
        if (n == 0) return -EPIPE;
        if (n > 0) continue;
        if (n != -EAGAIN) return static_cast<status_t>(n);
        status_t waited = waitFor(sock_.get(), POLLIN, deadline);
        if (waited != OK) return waited;
    }
}

void Stream::answerUnknown(const MessageHeader& message) {
    uint8_t bytes[kHeaderSize];
    encodeHeader(unknownTypeError(message), bytes);
    iovec iov{bytes, kHeaderSize};
    // One try: a peer that cannot take 24 bytes now learns it from the next one it asks.
    sendNow(sock_.get(), &iov, 1, -1);
}

}  // namespace zorlek
