// SPDX-License-Identifier: Apache-2.0
#include "platform/transport/client_connection.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <utility>

#include "platform/transport/fd_closer.h"

namespace zorlek {

ClientConnection::ClientConnection(size_t bufferSize, size_t maxPayload)
    : bufferSize_(bufferSize), maxPayload_(maxPayload), reader_(bufferSize, maxPayload) {}

ClientConnection::ClientConnection(unique_fd sock, size_t bufferSize, size_t maxPayload)
    : sock_(std::move(sock)),
      bufferSize_(bufferSize),
      maxPayload_(maxPayload),
      reader_(bufferSize, maxPayload) {}

ClientConnection::~ClientConnection() {
    reset();
}

void ClientConnection::adopt(unique_fd sock) {
    reset();
    sock_ = std::move(sock);
}

void ClientConnection::reset() {
    out_.clear();
    closeSocket(std::move(sock_));
    reader_ = MessageReader(bufferSize_, maxPayload_);
    blockingReceive_ = false;
}

void ClientConnection::closeAnswered() {
    int unread = -1;
    if (sock_ && ::ioctl(sock_.get(), FIONREAD, &unread) == 0 && unread == 0) sock_.reset();
    reset();
}

unique_fd ClientConnection::release() {
    unique_fd sock = std::move(sock_);
    reset();
    return sock;
}

void ClientConnection::waitInReceive(int timeoutMs) {
    timeval bound{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    if (::setsockopt(sock_.get(), SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof(bound)) != 0) return;
    int flags = ::fcntl(sock_.get(), F_GETFL);
    if (flags < 0) return;
    // A socket made blocking (as the registry makes channels) needs no change; sends pass
    // MSG_DONTWAIT, so only receives wait in the kernel.
    if ((flags & O_NONBLOCK) != 0 && ::fcntl(sock_.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        return;
    }
    blockingReceive_ = true;
    receiveTimeoutMs_ = timeoutMs;
}

status_t ClientConnection::send(const MessageHeader& header, const uint8_t* payload, size_t size,
                                unique_fd fd) {
    if (!valid()) return -EPIPE;
    status_t status = out_.send(sock_.get(), header, payload, size, std::move(fd));
    return status == -ENOBUFS || status == -ETOOMANYREFS ? -ENOMEM : status;
}

status_t ClientConnection::flush() {
    if (!valid()) return -EPIPE;
    return out_.uncork(sock_.get());
}

int ClientConnection::next(Message* out) {
    for (;;) {
        int got = reader_.next(out);
        if (got != 1 || knownMessageType(out->header.type)) return got;
        // A newer peer's message: answered that it is not known here, while the answers
        // waiting for that peer leave room, and passed over.
        if (!out_.mayAnswerUnknown()) continue;
        out_.send(sock_.get(), unknownTypeError(out->header), nullptr, 0);
    }
}

status_t ClientConnection::receive(Message* out, const Deadline& deadline) {
    // The first receive may block in the kernel, under the socket's timeout, when that
    // ends no later than the deadline and nothing waits to be sent; every later one only
    // takes what is there, and the waits between them end at the deadline.
    bool wait = receiveMayWait(deadline.remainingMs());
    bool filled = false;
    for (;;) {
        int got = next(out);
        if (got == 1) return OK;
        if (got < 0) return got;
        // However many bytes a peer sends that make no message for us, the wait ends on
        // time.
        if (filled && deadline.remainingMs() == 0) return -ETIMEDOUT;
        if (wantsToSend()) {
            status_t sent = flush();
            if (sent != OK) return sent;
        }
        ssize_t n = reader_.fill(sock_.get(), wait && !wantsToSend());
        wait = false;
        filled = true;
        if (n == 0) return -EPIPE;
        if (n > 0) continue;
        if (n != -EAGAIN) return static_cast<status_t>(n);
        short events = static_cast<short>(POLLIN | (wantsToSend() ? POLLOUT : 0));
        status_t waited = waitFor(sock_.get(), events, deadline);
        if (waited != OK) return waited;
    }
}

status_t ClientConnection::drain(const Deadline& deadline) {
    for (;;) {
        status_t status = flush();
        if (status != OK || !wantsToSend()) return status;
        status = waitFor(sock_.get(), POLLOUT, deadline);
        if (status != OK) return status;
    }
}

status_t ClientConnection::answerStatus(const Message& answer, uint32_t type) {
    if (answer.header.type == type) return OK;
    // In place of the answer: the peer did not know the message.
    return answer.header.type == MSG_ERROR ? -EBADRQC : -EBADMSG;
}

bool ClientConnection::takeCredentials() {
    int on = 1;
    if (::setsockopt(sock_.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof(on)) != 0) return false;
    reader_.takeCredentials();
    return true;
}

}  // namespace zorlek
