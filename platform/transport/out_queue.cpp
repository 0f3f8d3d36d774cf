// SPDX-License-Identifier: Apache-2.0
#include "platform/transport/out_queue.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include "platform/base/little_endian.h"
#include "platform/transport/fd_closer.h"
#include "platform/transport/fd_passing.h"

namespace zorlek {
OutQueue::~OutQueue() {
    clear();
}

void OutQueue::clear() {
    for (FdMark& mark : marks_) closeSocket(std::move(mark.fd));
    marks_.clear();
    frontPos_ += bytes_.size();
    bytes_.release();
    corked_ = false;
}

status_t OutQueue::send(int sock, MessageHeader header, const uint8_t* payload, size_t size,
                        unique_fd fd, uint64_t tag) {
    status_t status = sendOrQueue(sock, header, payload, size, &fd, tag);
    // A descriptor that neither went nor waits is closed here.
    closeSocket(std::move(fd));
    return status;
}

status_t OutQueue::sendOrQueue(int sock, MessageHeader header, const uint8_t* payload, size_t size,
                               unique_fd* fd, uint64_t tag) {
    uint8_t head[kHeaderSize];
    if (encodeFrameStart(header, size, head) != OK) return -EMSGSIZE;
    size_t sent = 0;
    // A descriptor goes at once even while corked, after what waits before it, so that a
    // kernel that will not carry it says so to the sender now.
    if (*fd && corked_ && !empty()) {
        status_t flushed = flush(sock);
        if (flushed != OK) return flushed;
    }
    if ((!corked_ || *fd) && empty()) {
        iovec iov[2] = {{head, kHeaderSize}, {const_cast<uint8_t*>(payload), size}};
        ssize_t n = sendNow(sock, iov, size > 0 ? 2 : 1, fd->get());
        if (n < 0) return static_cast<status_t>(n);
        sent = static_cast<size_t>(n);
        // The descriptor went with the first byte, if any byte went; the kernel holds it
        // in flight, so this close is not its last.
        if (sent > 0 && *fd) {
            fd->reset();
            settled(tag, OK);
        }
        if (sent == kHeaderSize + size) return OK;
    }
    status_t status = enqueue(head, payload, size, sent, fd, tag);
    return status != OK && sent > 0 ? -ECANCELED : status;
}

void OutQueue::settled(uint64_t tag, status_t status) {
    if (tag != 0) outcomes_.push_back({tag, status});
}

status_t OutQueue::enqueue(const uint8_t* head, const uint8_t* payload, size_t size, size_t from,
                           unique_fd* fd, uint64_t tag) {
    uint64_t at = frontPos_ + bytes_.size();
    size_t before = bytes_.size();
    bool queued =
        from < kHeaderSize
            ? bytes_.append(head + from, kHeaderSize - from) && bytes_.append(payload, size)
            : bytes_.append(payload + (from - kHeaderSize), size - (from - kHeaderSize));
    if (!queued) {
        bytes_.resize(before);
        return -ENOMEM;
    }
    if (*fd) marks_.push_back({at, frontPos_ + bytes_.size(), std::move(*fd), tag});
    return OK;
}

status_t OutQueue::uncork(int sock) {
    corked_ = false;
    return flush(sock);
}

ssize_t OutQueue::sendFront(size_t limit, int fd, int sock) {
    iovec iov{bytes_.data(), limit};
    ssize_t n = sendNow(sock, &iov, 1, fd);
    if (n <= 0) return n;
    bytes_.consume(static_cast<size_t>(n));
    frontPos_ += static_cast<uint64_t>(n);
    return n;
}

status_t OutQueue::flush(int sock) {
    while (!empty()) {
        ssize_t n;
        if (!marks_.empty() && marks_.front().at == frontPos_) {
            // A message with a descriptor goes alone; once its first bytes are out, the
            // rest is plain bytes.
            FdMark& mark = marks_.front();
            n = sendFront(static_cast<size_t>(mark.end - mark.at), mark.fd.get(), sock);
            if (n == -ETOOMANYREFS || n == -ENOBUFS || n == -ENOMEM) {
                // The kernel takes no more descriptors (or memory) now: the message goes
                // without its descriptor and with that failure as its value, rather than
                // hold up everything queued behind it.
                storeLe32(bytes_.data() + 8, static_cast<uint32_t>(static_cast<int32_t>(n)));
                settled(mark.tag, static_cast<status_t>(n));
                closeSocket(std::move(mark.fd));
                marks_.pop_front();
                continue;
            }
            if (n > 0) {
                settled(mark.tag, OK);
                marks_.pop_front();
            }
        } else {
            size_t limit =
                marks_.empty() ? bytes_.size() : static_cast<size_t>(marks_.front().at - frontPos_);
            n = sendFront(limit, -1, sock);
        }
        if (n < 0) return static_cast<status_t>(n);
        if (n == 0) return OK;
    }
    if (bytes_.capacity() > kKeptSendRoom) bytes_.release();
    return OK;
}

}  // namespace zorlek
