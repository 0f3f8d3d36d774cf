// SPDX-License-Identifier: Apache-2.0
// Sending and receiving one message at a time on a socket whose other end is the code
// under test, for tests that play a registry, a host or a client by hand. Built on the
// library's own decoder, reading exactly one message so that nothing after it is taken.
#pragma once

#include <poll.h>
#include <sys/uio.h>

#include "platform/base/deadline.h"
#include "platform/base/parcel.h"
#include "platform/base/unique_fd.h"
#include "platform/transport/fd_passing.h"
#include "platform/transport/message_reader.h"
#include "platform/transport/wire.h"

namespace zorlek::test {

// Sends one message with `passFd` attached (none when negative), waiting for room at most
// `timeoutMs`. 0 or the failure.
inline status_t sendMessage(int fd, MessageHeader header, const uint8_t* payload, size_t size,
                            int passFd = -1, int timeoutMs = 2000) {
    uint8_t head[kHeaderSize];
    if (encodeFrameStart(header, size, head) != OK) return -EMSGSIZE;
    iovec iov[2] = {{head, kHeaderSize}, {const_cast<uint8_t*>(payload), size}};
    int count = size > 0 ? 2 : 1;
    Deadline deadline = Deadline::after(timeoutMs);
    size_t total = kHeaderSize + size, sent = 0;
    while (sent < total) {
        ssize_t n = sendNow(fd, iov, count, sent == 0 ? passFd : -1);
        if (n < 0) return static_cast<status_t>(n);
        sent += static_cast<size_t>(n);
        for (size_t skip = static_cast<size_t>(n); skip > 0 && count > 0;) {
            size_t step = skip < iov[0].iov_len ? skip : iov[0].iov_len;
            iov[0].iov_base = static_cast<uint8_t*>(iov[0].iov_base) + step;
            iov[0].iov_len -= step;
            skip -= step;
            if (iov[0].iov_len == 0) {
                iov[0] = iov[1];
                --count;
            }
        }
        if (n == 0 && waitFor(fd, POLLOUT, deadline) != OK) return -ETIMEDOUT;
    }
    return OK;
}

// Receives exactly one message within `timeoutMs`, its descriptor (for a type that
// carries one) into `passedFd` when not null. 0, -ETIMEDOUT, -EPIPE, -EMSGSIZE, -EBADMSG.
inline status_t receiveMessage(int fd, MessageHeader* header, Parcel* payload,
                               unique_fd* passedFd = nullptr, size_t maxPayload = kMaxParcelSize,
                               int timeoutMs = 2000) {
    MessageReader reader(4096, maxPayload);
    reader.readExactly();
    Message message;
    Deadline deadline = Deadline::after(timeoutMs);
    for (;;) {
        int got = reader.next(&message);
        if (got < 0) return got;
        if (got == 1) break;
        if (waitFor(fd, POLLIN, deadline) != OK) return -ETIMEDOUT;
        ssize_t n = reader.fill(fd);
        if (n == 0 || n == -EPIPE) return -EPIPE;
        if (n < 0 && n != -EAGAIN) return static_cast<status_t>(n);
    }
    *header = message.header;
    *payload = std::move(message.payload);
    if (passedFd != nullptr) *passedFd = std::move(message.fd);
    return OK;
}

}  // namespace zorlek::test
