#include "platform/transport/out_queue.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cstring>

#include "platform/transport/fd_passing.h"

namespace zorlek {
namespace {

// One sendmsg; returns bytes sent, 0 when the socket is full, or a negative status.
ssize_t sendSome(int sock, iovec* iov, int count, int fd) {
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

}  // namespace

status_t OutQueue::send(int sock, MessageHeader header, const uint8_t* payload, size_t size,
                        unique_fd fd, uint32_t tag) {
    uint8_t head[kHeaderSize];
    if (encodeFrameStart(header, size, head) != OK) return -EMSGSIZE;
    size_t total = kHeaderSize + size;
    size_t sent = 0;
    if (chunks_.empty()) {
        iovec iov[2] = {{head, kHeaderSize}, {const_cast<uint8_t*>(payload), size}};
        ssize_t n = sendSome(sock, iov, size > 0 ? 2 : 1, fd.get());
        if (n < 0) return static_cast<status_t>(n);
        sent = static_cast<size_t>(n);
        if (sent == total) return OK;
        // The descriptor went with the first byte, if any byte went.
        if (sent > 0) fd.reset();
    }
    Chunk chunk;
    chunk.bytes.resize(total - sent);
    uint8_t* at = chunk.bytes.data();
    if (sent < kHeaderSize) {
        std::memcpy(at, head + sent, kHeaderSize - sent);
        at += kHeaderSize - sent;
        if (size > 0) std::memcpy(at, payload, size);
    } else {
        std::memcpy(at, payload + (sent - kHeaderSize), total - sent);
    }
    chunk.fd = std::move(fd);
    chunk.tag = tag;
    queuedBytes_ += chunk.bytes.size();
    if (chunk.fd) ++queuedFds_;
    if (tag != 0) {
        auto found = std::find_if(tagged_.begin(), tagged_.end(),
                                  [tag](const auto& entry) { return entry.first == tag; });
        if (found == tagged_.end()) {
            tagged_.emplace_back(tag, 1);
        } else {
            ++found->second;
        }
    }
    chunks_.push_back(std::move(chunk));
    return OK;
}

size_t OutQueue::queuedWithTag(uint32_t tag) const {
    for (const auto& [which, count] : tagged_) {
        if (which == tag) return count;
    }
    return 0;
}

void OutQueue::popFront() {
    uint32_t tag = chunks_.front().tag;
    chunks_.pop_front();
    if (tag == 0) return;
    for (size_t i = 0; i < tagged_.size(); ++i) {
        if (tagged_[i].first != tag) continue;
        if (--tagged_[i].second == 0) {
            tagged_[i] = tagged_.back();
            tagged_.pop_back();
        }
        return;
    }
}

status_t OutQueue::flush(int sock) {
    while (!chunks_.empty()) {
        Chunk& chunk = chunks_.front();
        iovec iov{chunk.bytes.data() + chunk.offset, chunk.bytes.size() - chunk.offset};
        ssize_t n = sendSome(sock, &iov, 1, chunk.fd.get());
        if (n < 0) return static_cast<status_t>(n);
        if (n == 0) return OK;
        if (chunk.fd) --queuedFds_;
        chunk.fd.reset();
        chunk.offset += static_cast<size_t>(n);
        queuedBytes_ -= static_cast<size_t>(n);
        if (chunk.offset < chunk.bytes.size()) return OK;
        popFront();
    }
    return OK;
}

}  // namespace zorlek
