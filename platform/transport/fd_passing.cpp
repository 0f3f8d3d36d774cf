// SPDX-License-Identifier: Apache-2.0
#include "platform/transport/fd_passing.h"

#include <cerrno>
#include <cstring>

#include "platform/transport/fd_closer.h"

namespace zorlek {

ReceivedFds::ReceivedFds(ReceivedFds&& other) noexcept
    : count(other.count), arrived(other.arrived) {
    for (size_t i = 0; i < count; ++i) fds[i] = std::move(other.fds[i]);
    other.count = 0;
    other.arrived = 0;
}

ReceivedFds& ReceivedFds::operator=(ReceivedFds&& other) noexcept {
    if (this == &other) return *this;
    closeAll();
    count = other.count;
    arrived = other.arrived;
    for (size_t i = 0; i < count; ++i) fds[i] = std::move(other.fds[i]);
    other.count = 0;
    other.arrived = 0;
    return *this;
}

unique_fd ReceivedFds::takeFirst() {
    unique_fd first;
    if (count > 0) first = std::move(fds[0]);
    closeAll();
    return first;
}

void ReceivedFds::closeAll() {
    for (size_t i = 0; i < count; ++i) closeAside(std::move(fds[i]));
    count = 0;
}

void takeOutOfBandInline(int sock) {
    int on = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_OOBINLINE, &on, sizeof(on));
}

void prepareReceiveControl(msghdr* message, ControlBuffer* control) {
    message->msg_control = control->bytes;
    message->msg_controllen = sizeof(control->bytes);
}

void collectFds(msghdr* message, ReceivedFds* out) {
    if (message->msg_controllen == 0) return;
    for (cmsghdr* c = CMSG_FIRSTHDR(message); c != nullptr; c = CMSG_NXTHDR(message, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        size_t n = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        const unsigned char* data = CMSG_DATA(c);
        for (size_t i = 0; i < n; ++i) {
            int fd;
            std::memcpy(&fd, data + i * sizeof(int), sizeof(int));
            unique_fd owned(fd);
            ++out->arrived;
            if (out->count < kMaxFdsSeen) {
                out->fds[out->count++] = std::move(owned);
            } else {
                closeAside(std::move(owned));
            }
        }
    }
}

bool collectCredentials(msghdr* message, ucred* out) {
    if (message->msg_controllen == 0) return false;
    for (cmsghdr* c = CMSG_FIRSTHDR(message); c != nullptr; c = CMSG_NXTHDR(message, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_CREDENTIALS ||
            c->cmsg_len < CMSG_LEN(sizeof(ucred))) {
            continue;
        }
        std::memcpy(out, CMSG_DATA(c), sizeof(ucred));
        return true;
    }
    return false;
}

void attachFd(msghdr* message, ControlBuffer* control, int fd) {
    if (fd < 0) return;
    std::memset(control, 0, sizeof(*control));
    message->msg_control = control->bytes;
    message->msg_controllen = CMSG_SPACE(sizeof(int));
    cmsghdr* c = CMSG_FIRSTHDR(message);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &fd, sizeof(int));
}

}  // namespace zorlek

namespace zorlek {

ssize_t sendNow(int sock, iovec* iov, int count, int fd) {
    msghdr message{};
    message.msg_iov = iov;
    message.msg_iovlen = count;
    ControlBuffer control;
    attachFd(&message, &control, fd);
    for (;;) {
        ssize_t n = ::sendmsg(sock, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        if (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN) return -EPIPE;
        return -errno;
    }
}

}  // namespace zorlek
