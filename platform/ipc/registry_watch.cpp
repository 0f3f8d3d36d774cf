// SPDX-License-Identifier: Apache-2.0
// Waiting for names to come or go: one wait sent to the registry, answered when it holds,
// and sent again on a new connection when the registry is not there yet or restarts.
#include <poll.h>

#include <climits>

#include "platform/base/call_timeout.h"
#include "platform/base/registry_path.h"
#include "platform/ipc/registry_client.h"
#include "platform/ipc/service_manager.h"
#include "platform/transport/deadline.h"
#include "platform/transport/stream.h"
#include "platform/transport/wire.h"

namespace zorlek {
namespace {

// The serials of the wait and of the question asked when its time is up.
constexpr uint32_t kWaitSerial = 1;
constexpr uint32_t kNowSerial = 2;
// The longest one receive may wait (about 24 days): a wait without bound waits again each
// time one passes.
constexpr int kForeverMs = INT_MAX;

// True for the failures after which a registry may yet come (or come back).
bool worthAnotherTry(status_t status) {
    return status == -ENOENT || status == -ECONNREFUSED || status == -ETIMEDOUT ||
           status == -EAGAIN || status == -EPIPE || status == -ECONNRESET;
}

status_t sendMessage(Stream& stream, const MessageHeader& header, const Parcel& payload,
                     const Deadline& deadline) {
    uint8_t head[kHeaderSize];
    encodeFrameStart(header, payload.dataSize(), head);
    iovec iov[2] = {{head, kHeaderSize},
                    {const_cast<uint8_t*>(payload.data()), payload.dataSize()}};
    return stream.sendAll(iov, payload.dataSize() > 0 ? 2 : 1, -1, deadline);
}

// The answer to the wait numbered `serial`: its status, with `*index` from its code.
status_t awaitAnswer(Stream& stream, uint32_t serial, const Deadline& deadline, size_t* index,
                     bool* waitHeld) {
    Message answer;
    for (;;) {
        status_t status = stream.receive(&answer, deadline);
        if (status != OK) return status;
        // In place of the answer: the registry did not know the wait after all.
        if (answer.header.type == MSG_ERROR) return -EOPNOTSUPP;
        if (answer.header.type != MSG_WATCH_REPLY) return -EBADMSG;
        if (answer.header.serial == kWaitSerial && answer.header.value == OK) *waitHeld = true;
        if (answer.header.serial != serial) continue;
        *index = answer.header.code;
        return answer.header.value;
    }
}

// One connection's part: sends the wait and reads its answer. 0 once it held; -ETIMEDOUT
// with `*pending` set once `deadline` passed; the registry's refusal; or the failure of
// the connection, which worthAnotherTry() tells apart.
status_t waitOnce(const Parcel& request, bool gone, bool bounded, const Deadline& deadline,
                  size_t* pending, bool* connected) {
    int connectMs = bounded && deadline.remainingMs() < callTimeoutMs() ? deadline.remainingMs()
                                                                        : callTimeoutMs();
    unique_fd sock;
    uint32_t features = 0;
    status_t status =
        connectToRegistry(registryPath(), connectMs > 0 ? connectMs : 1, &sock, &features);
    if (status != OK) return status;
    *connected = true;
    if ((features & FEATURE_WATCH) == 0) return -EOPNOTSUPP;
    Stream stream(std::move(sock), kMaxRegistryRequest, kMaxRegistryRequest);
    int32_t flags = gone ? WATCH_GONE : 0;
    status = sendMessage(stream, {MSG_WATCH, 0, flags, 0, kWaitSerial}, request,
                         Deadline::after(callTimeoutMs()));
    if (status != OK) return status;
    bool held = false;
    size_t index = 0;
    for (;;) {
        status = awaitAnswer(stream, kWaitSerial, bounded ? deadline : Deadline::after(kForeverMs),
                             &index, &held);
        if (status == -ETIMEDOUT && !bounded) continue;
        if (status != -ETIMEDOUT || deadline.remainingMs() > 0) break;
        // Out of time: which name is still missing? The wait's own answer may come first.
        status = sendMessage(stream, {MSG_WATCH, 0, flags | WATCH_NOW, 0, kNowSerial}, request,
                             Deadline::after(callTimeoutMs()));
        if (status == OK) {
            status =
                awaitAnswer(stream, kNowSerial, Deadline::after(callTimeoutMs()), &index, &held);
        }
        if (held || status == OK) return OK;
        *pending = status == -EAGAIN ? index : 0;
        return -ETIMEDOUT;
    }
    if (status == -EINVAL) *pending = index;
    return status;
}

}  // namespace

status_t waitForServices(const String16* names, size_t count, bool gone, int timeoutMs,
                         size_t* pending) {
    *pending = 0;
    if (count == 0) return OK;
    Parcel request;
    request.writeInt32(static_cast<int32_t>(count));
    for (size_t i = 0; i < count; ++i) request.writeString16(names[i]);
    if (request.status() != OK || request.dataSize() > kMaxRegistryRequest) return -E2BIG;
    bool bounded = timeoutMs >= 0;
    Deadline deadline = Deadline::after(bounded ? timeoutMs : 0);
    int pauseMs = kFirstReconnectPauseMs;
    for (;;) {
        bool connected = false;
        status_t status = waitOnce(request, gone, bounded, deadline, pending, &connected);
        if (!worthAnotherTry(status) || (status == -ETIMEDOUT && connected)) return status;
        // No registry, or it went away: as hosts do, try again after a pause that grows
        // while tries fail.
        if (connected) pauseMs = kFirstReconnectPauseMs;
        int left = bounded ? deadline.remainingMs() : kMaxReconnectPauseMs;
        if (left == 0) {
            *pending = 0;
            return -ETIMEDOUT;
        }
        ::poll(nullptr, 0, pauseMs < left ? pauseMs : left);
        pauseMs = doubledPause(pauseMs, kMaxReconnectPauseMs);
    }
}

}  // namespace zorlek
