#include "platform/transport/message_io.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <optional>

#include "platform/transport/deadline.h"
#include "platform/transport/fd_passing.h"
#include "platform/transport/parcel_access.h"

namespace zorlek {
namespace {

status_t ioError(int error) {
    if (error == EPIPE || error == ECONNRESET || error == ENOTCONN) return -EPIPE;
    return -error;
}

// Waits for `events`, starting the deadline at the first wait so that a socket that is
// ready at once costs no clock reads.
status_t waitBounded(int fd, short events, std::optional<Deadline>* deadline, int timeoutMs) {
    if (!*deadline) *deadline = Deadline::after(timeoutMs);
    return waitFor(fd, events, **deadline);
}

// Sends `headSize` bytes of `head`, then `size` bytes of `body`, with `passFd` attached
// to the first bytes that go out (none when negative).
status_t sendAll(int fd, const uint8_t* head, size_t headSize, const uint8_t* body, size_t size,
                 int passFd, int timeoutMs) {
    size_t total = headSize + size;
    size_t sent = 0;
    std::optional<Deadline> deadline;
    for (;;) {
        iovec iov[2];
        int count = 0;
        if (sent < headSize) iov[count++] = {const_cast<uint8_t*>(head) + sent, headSize - sent};
        size_t bodySent = sent > headSize ? sent - headSize : 0;
        if (size > bodySent) {
            iov[count++] = {const_cast<uint8_t*>(body) + bodySent, size - bodySent};
        }
        msghdr message{};
        message.msg_iov = iov;
        message.msg_iovlen = count;
        ControlBuffer control;
        if (sent == 0) attachFd(&message, &control, passFd);
        ssize_t n = ::sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return ioError(errno);
            status_t waited = waitBounded(fd, POLLOUT, &deadline, timeoutMs);
            if (waited != OK) return waited;
            continue;
        }
        sent += static_cast<size_t>(n);
        if (sent == total) return OK;
    }
}

}  // namespace

status_t sendMessage(int fd, MessageHeader header, const uint8_t* payload, size_t size, int passFd,
                     int timeoutMs) {
    uint8_t head[kHeaderSize];
    if (encodeFrameStart(header, size, head) != OK) return -EMSGSIZE;
    return sendAll(fd, head, kHeaderSize, payload, size, passFd, timeoutMs);
}

status_t sendFrames(int fd, const uint8_t* bytes, size_t size, int timeoutMs) {
    return sendAll(fd, nullptr, 0, bytes, size, -1, timeoutMs);
}

status_t setReceiveTimeout(int fd, int timeoutMs) {
    timeval bound{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    return ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof(bound)) == 0 ? OK : -errno;
}

status_t receiveMessage(int fd, MessageHeader* header, Parcel* payload, unique_fd* passedFd,
                        size_t maxPayload, int timeoutMs, FirstWait first) {
    if (passedFd != nullptr) passedFd->reset();
    uint8_t head[kHeaderSize];
    size_t headGot = 0;
    // Until the header says how big the payload is, read at most the preallocated room.
    size_t room = maxPayload < kReceivePrealloc ? maxPayload : kReceivePrealloc;
    uint8_t* body = ParcelAccess::resizeForReceive(*payload, room);
    size_t bodyGot = 0;
    size_t bodyWant = room;
    bool sizeKnown = false;
    ReceivedFds fds;
    std::optional<Deadline> deadline;
    status_t status = OK;
    // The first recvmsg may block (in the kernel, under the socket's timeout); every later
    // one only takes what is there, and the waits between them share the one deadline.
    int dontWait = MSG_DONTWAIT;
    if (first == FirstWait::kInReceive) {
        deadline = Deadline::after(timeoutMs);
        dontWait = 0;
    } else if (first == FirstWait::kPoll) {
        status = waitBounded(fd, POLLIN, &deadline, timeoutMs);
        if (status != OK) {
            payload->clear();
            return status;
        }
    }
    for (;;) {
        iovec iov[2];
        int count = 0;
        if (headGot < kHeaderSize) iov[count++] = {head + headGot, kHeaderSize - headGot};
        if (bodyWant > bodyGot) iov[count++] = {body + bodyGot, bodyWant - bodyGot};
        msghdr message{};
        message.msg_iov = iov;
        message.msg_iovlen = count;
        ControlBuffer control;
        prepareReceiveControl(&message, &control);
        ssize_t n = ::recvmsg(fd, &message, dontWait | MSG_CMSG_CLOEXEC);
        dontWait = MSG_DONTWAIT;
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                status = ioError(errno);
                break;
            }
            status = waitBounded(fd, POLLIN, &deadline, timeoutMs);
            if (status != OK) break;
            continue;
        }
        collectFds(&message, &fds);
        if (n == 0) {
            status = -EPIPE;
            break;
        }
        size_t got = static_cast<size_t>(n);
        size_t toHead = got < kHeaderSize - headGot ? got : kHeaderSize - headGot;
        headGot += toHead;
        bodyGot += got - toHead;
        if (!sizeKnown && headGot == kHeaderSize) {
            *header = decodeHeader(head);
            // The size is untrusted: check it before making room for it.
            status = checkHeader(*header, maxPayload);
            if (status != OK) break;
            if (bodyGot > header->size) {
                status = -EBADMSG;
                break;
            }
            if (header->size > room) body = ParcelAccess::resizeForReceive(*payload, header->size);
            bodyWant = header->size;
            sizeKnown = true;
        }
        if (sizeKnown && bodyGot == bodyWant) break;
    }
    if (status != OK) {
        payload->clear();
        return status;
    }
    // Shrinking keeps the bytes received and does not reallocate.
    ParcelAccess::resizeForReceive(*payload, header->size);
    if (passedFd != nullptr && typeCarriesFd(header->type)) {
        *passedFd = fds.takeFirst();
    } else {
        fds.closeAll();
    }
    return OK;
}

}  // namespace zorlek
