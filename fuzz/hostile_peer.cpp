// SPDX-License-Identifier: Apache-2.0
#include "fuzz/hostile_peer.h"

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/transport/parcel_access.h"

namespace zorlek::fuzz {
namespace {

// The most one send takes from the queue, so that a peer never holds a large payload
// whole.
constexpr size_t kMostPerSend = 256 * 1024;
// Descriptors one send may carry.
constexpr size_t kMostAttached = 8;

bool sameSender(const ucred& a, const ucred& b) {
    return a.pid == b.pid && a.uid == b.uid && a.gid == b.gid;
}

}  // namespace

HostilePeer::HostilePeer(unique_fd sock, size_t theirMaxPayload)
    : sock_(std::move(sock)),
      // As large as the read buffer of a server's connection, so that a message is large
      // for the mirror where it is for the server.
      mirror_(16 * 1024, theirMaxPayload),
      reader_(16 * 1024, kMaxParcelSize) {}

void HostilePeer::queue(const uint8_t* bytes, size_t size) {
    if (size == 0 || !sock_) return;
    Segment segment;
    segment.bytes.assign(bytes, bytes + size);
    queue_.push_back(std::move(segment));
    queuedBytes_ += size;
}

void HostilePeer::queueHeader(const MessageHeader& header) {
    uint8_t bytes[kHeaderSize];
    encodeHeader(header, bytes);
    queue(bytes, sizeof bytes);
}

void HostilePeer::queueMessage(MessageHeader header, const uint8_t* payload, size_t size) {
    header.size = static_cast<uint32_t>(size);
    queueHeader(header);
    queue(payload, size);
}

void HostilePeer::queuePattern(size_t size, uint8_t seed) {
    if (size == 0 || !sock_) return;
    Segment segment;
    segment.patternSize = size;
    segment.seed = seed;
    queue_.push_back(std::move(segment));
    queuedBytes_ += size;
}

size_t HostilePeer::gather(size_t limit) {
    size_t size = limit < queuedBytes_ ? limit : queuedBytes_;
    if (size > kMostPerSend) size = kMostPerSend;
    sendBuffer_.resize(size);
    size_t filled = 0;
    for (const Segment& segment : queue_) {
        if (filled == size) break;
        size_t part = segment.size() < size - filled ? segment.size() : size - filled;
        if (!segment.bytes.empty()) {
            std::memcpy(sendBuffer_.data() + filled, segment.bytes.data() + segment.taken, part);
        } else {
            for (size_t i = 0; i < part; ++i) {
                sendBuffer_[filled + i] = patternByte(segment.seed, segment.taken + i);
            }
        }
        filled += part;
    }
    return size;
}

void HostilePeer::consume(size_t count) {
    queuedBytes_ -= count;
    while (count > 0) {
        Segment& front = queue_.front();
        size_t part = front.size() < count ? front.size() : count;
        front.taken += part;
        count -= part;
        if (front.size() == 0) queue_.pop_front();
    }
}

ssize_t HostilePeer::send(size_t limit, const int* fds, size_t fdCount, const ucred* credentials) {
    if (!sock_ || ended_ || writeShut_) return -EPIPE;
    size_t size = gather(limit);
    if (size == 0) return 0;
    if (fdCount > kMostAttached) fdCount = kMostAttached;
    iovec iov{sendBuffer_.data(), size};
    msghdr message{};
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char
        control[CMSG_SPACE(sizeof(int) * kMostAttached) + CMSG_SPACE(sizeof(ucred))] = {};
    size_t controlSize = 0;
    if (fdCount > 0) controlSize += CMSG_SPACE(sizeof(int) * fdCount);
    if (credentials != nullptr) controlSize += CMSG_SPACE(sizeof(ucred));
    if (controlSize > 0) {
        message.msg_control = control;
        message.msg_controllen = controlSize;
        cmsghdr* c = CMSG_FIRSTHDR(&message);
        if (fdCount > 0) {
            c->cmsg_level = SOL_SOCKET;
            c->cmsg_type = SCM_RIGHTS;
            c->cmsg_len = CMSG_LEN(sizeof(int) * fdCount);
            std::memcpy(CMSG_DATA(c), fds, sizeof(int) * fdCount);
            c = CMSG_NXTHDR(&message, c);
        }
        if (credentials != nullptr) {
            c->cmsg_level = SOL_SOCKET;
            c->cmsg_type = SCM_CREDENTIALS;
            c->cmsg_len = CMSG_LEN(sizeof(ucred));
            std::memcpy(CMSG_DATA(c), credentials, sizeof(ucred));
        }
    }
    ssize_t n;
    do {
        n = ::sendmsg(sock_.get(), &message, MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        if (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN) {
            ended_ = true;
            return -EPIPE;
        }
        return -errno;
    }
    consume(static_cast<size_t>(n));
    mirror(static_cast<size_t>(n), credentials != nullptr ? *credentials : defaultSender_);
    return n;
}

void HostilePeer::sendQueued() {
    while (queuedBytes_ > 0 && send(queuedBytes_) > 0) {
    }
}

void HostilePeer::mirror(size_t count, const ucred& sender) {
    sentPos_ += count;
    if (!senders_.empty() && sameSender(senders_.back().sender, sender)) {
        senders_.back().end = sentPos_;
    } else {
        senders_.push_back({sentPos_, sender});
    }
    const uint8_t* at = sendBuffer_.data();
    size_t left = count;
    while (left > 0 && !sentMalformed_) {
        ssize_t taken = mirror_.feed(at, left);
        if (taken > 0) {
            at += taken;
            left -= static_cast<size_t>(taken);
        }
        Message message;
        int got;
        bool any = false;
        while ((got = mirror_.next(&message)) == 1) {
            any = true;
            uint64_t start = mirrorPos_;
            mirrorPos_ += kHeaderSize + message.header.size;
            // The other side's reader gives a message the sender of its first byte.
            while (senders_.front().end <= start) senders_.pop_front();
            message.sender = senders_.front().sender;
            sent_.push_back(std::move(message));
        }
        if (got < 0) sentMalformed_ = true;
        if (taken <= 0 && !any) break;
    }
}

int HostilePeer::nextSent(Message* out) {
    if (sent_.empty()) return 0;
    *out = std::move(sent_.front());
    sent_.pop_front();
    return 1;
}

int HostilePeer::nextReceived(Message* out) {
    for (;;) {
        int got = reader_.next(out);
        if (got != 0) return got;
        if (!sock_ || ended_) return -EPIPE;
        ssize_t n = reader_.fill(sock_.get());
        if (n > 0) {
            receivedBytes_ += static_cast<uint64_t>(n);
            continue;
        }
        if (n == -EAGAIN) return 0;
        ended_ = true;
        return n == 0 || n == -EPIPE ? -EPIPE : static_cast<int>(n);
    }
}

void HostilePeer::shutdownWrite() {
    if (sock_) ::shutdown(sock_.get(), SHUT_WR);
    writeShut_ = true;
    queue_.clear();
    queuedBytes_ = 0;
}

void HostilePeer::close() {
    sock_.reset();
    queue_.clear();
    queuedBytes_ = 0;
}

size_t HostilePeer::heldBytes() const {
    size_t held = reader_.heldBytes() + mirror_.heldBytes() + sendBuffer_.capacity();
    for (const Segment& segment : queue_) held += segment.bytes.capacity();
    for (const Message& message : sent_) held += ParcelAccess::capacity(message.payload);
    return held;
}

uint8_t patternByte(uint8_t seed, size_t at) {
    return seed == 0 ? 0 : static_cast<uint8_t>((at * seed) ^ (at >> 8));
}

ucred ownCredentials() {
    return {::getpid(), ::getuid(), ::getgid()};
}

ucred chosenCredentials(uint8_t choice) {
    static const uid_t kIds[] = {0, 1000, 1001, 65534};
    ucred own = ownCredentials();
    if (::geteuid() != 0) return own;
    return {(choice & 1) != 0 ? 1 : own.pid, kIds[(choice >> 1) % 4], kIds[(choice >> 3) % 4]};
}

int HostilePeer::unreadByOtherSide() const {
    int n = 0;
    return sock_.valid() && ::ioctl(sock_.get(), SIOCOUTQ, &n) == 0 ? n : 0;
}

}  // namespace zorlek::fuzz
