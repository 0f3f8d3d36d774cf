// SPDX-License-Identifier: Apache-2.0
// Small tools for tests that play the other end of a socket by hand: socket pairs,
// pipes whose read end tells when every write end is closed, raw sends with descriptors.
#pragma once

#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "platform/base/unique_fd.h"
#include "platform/transport/object_proxy.h"
#include "platform/transport/client_channel.h"
#include "platform/transport/wire.h"
#include "tests/support/bytes.h"
#include "tests/support/wire_peer.h"

namespace zorlek::test {

struct SocketPair {
    unique_fd a;
    unique_fd b;
};

inline SocketPair makeSocketPair() {
    int fds[2] = {-1, -1};
    ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
    return {unique_fd(fds[0]), unique_fd(fds[1])};
}

// A pipe: passing `write` to a peer and closing our copy lets `read` tell, through
// allWritersClosed(), whether the peer closed every copy it received.
struct Pipe {
    unique_fd read;
    unique_fd write;

    // True once every copy of `write` is closed: at once, or on the library's closer
    // thread, which closes the descriptors a peer sent (waited for up to a guard against
    // a hang).
    bool allWritersClosed() const {
        for (int waitedMs = 0; waitedMs < 10000; waitedMs += 10) {
            if (writersClosedNow()) return true;
            pollfd p{read.get(), 0, 0};
            ::poll(&p, 1, 10);
        }
        return false;
    }
    // True when every copy of `write` is closed now; for a copy that must still be open.
    bool writersClosedNow() const {
        pollfd p{read.get(), POLLIN, 0};
        return ::poll(&p, 1, 0) == 1 && (p.revents & POLLHUP) != 0;
    }
};

inline Pipe makePipe() {
    int fds[2] = {-1, -1};
    // Failed, both ends stay invalid, and the test that needs them fails on its own checks.
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return {unique_fd(), unique_fd()};
    return {unique_fd(fds[0]), unique_fd(fds[1])};
}

// One sendmsg of `bytes` with `fds` attached; the number of bytes sent or -1.
inline ssize_t sendRaw(int sock, const Bytes& bytes, std::initializer_list<int> fds = {}) {
    iovec iov{const_cast<uint8_t*>(bytes.data()), bytes.size()};
    msghdr message{};
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 8)] = {};
    if (fds.size() > 0) {
        message.msg_control = control;
        message.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
        cmsghdr* c = CMSG_FIRSTHDR(&message);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
        std::memcpy(CMSG_DATA(c), fds.begin(), sizeof(int) * fds.size());
    }
    return ::sendmsg(sock, &message, MSG_NOSIGNAL);
}

// A message as a peer played by hand receives it (a call on a host's end, a request on
// the registry's).
struct Request {
    status_t status = -1;
    MessageHeader header;
    Parcel payload;
};

// The next message on `fd`, within 2 s.
inline Request receiveRequest(int fd) {
    Request r;
    r.status = receiveMessage(fd, &r.header, &r.payload, nullptr, kMaxParcelSize, 2000);
    return r;
}

// Answers `request` with `status` and `payload`, naming its serial.
inline status_t answer(int fd, const Request& request, status_t status, const Bytes& payload) {
    return sendMessage(fd, {MSG_REPLY, request.header.code, status, 0, request.header.serial},
                       payload.data(), payload.size(), -1, 2000);
}

// A proxy for the object `handle` over a channel of its own on `sock`.
inline sp<ObjectProxy> proxyOn(unique_fd sock, int timeoutMs, uint32_t handle = 1) {
    return make<ObjectProxy>(make<ClientChannel>(std::move(sock), timeoutMs), handle);
}

// The bytes sent on `sock` that its peer has not read yet (-1 when the kernel will not say).
inline int unreadByPeer(int sock) {
    int n = -1;
    return ::ioctl(sock, SIOCOUTQ, &n) == 0 ? n : -1;
}

// Reads whatever is waiting on `sock` within `timeoutMs` (until it stays quiet that long).
// With 0, only what is there now: what a Unix socket was sent is there once the send returns.
inline Bytes readAvailable(int sock, int timeoutMs = 100) {
    Bytes out;
    uint8_t buffer[65536];
    for (;;) {
        pollfd p{sock, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) != 1) break;
        ssize_t n = ::recv(sock, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n <= 0) break;
        out.insert(out.end(), buffer, buffer + n);
    }
    return out;
}

}  // namespace zorlek::test
