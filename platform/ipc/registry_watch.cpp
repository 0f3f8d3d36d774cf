// SPDX-License-Identifier: Apache-2.0
// Waiting for names to come or go: one wait sent to the registry, answered when it holds,
// and sent again on a new connection when the registry is not there yet or restarts.

#include <climits>

#include "platform/base/call_timeout.h"
#include "platform/base/deadline.h"
#include "platform/base/registry_path.h"
#include "platform/ipc/registry_client.h"
#include "platform/ipc/service_manager.h"
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

// One connection's part: sends the wait and reads its answer, as RegistryClient::watch(),
// or the failure to connect, which worthAnotherTry() tells apart. Reaching the registry is
// bounded as every exchange with it is, not by the time left to wait: at the deadline the
// registry is still asked which name is missing, so a wait whose time ran out (or was 0)
// while a loaded registry took the connection names that name, not merely the first.
status_t waitOnce(const Parcel& request, bool gone, bool bounded, const Deadline& deadline,
                  size_t* pending, bool* connected) {
    sp<RegistryClient> client;
    status_t status = RegistryClient::open(registryPath(), callTimeoutMs(), &client);
    if (status != OK) return status;
    *connected = true;
    return client->watch(request, gone, bounded, deadline, pending);
}

}  // namespace

status_t RegistryClient::awaitWatch(uint32_t serial, const Deadline& deadline, size_t* index,
                                    bool* held) {
    for (;;) {
        status_t status = receiveAnswer(MSG_WATCH_REPLY, &answer_, deadline);
        // In place of the answer: the registry did not know the wait after all.
        if (status == -EBADRQC) return -EOPNOTSUPP;
        if (status != OK) return status;
        const MessageHeader& answer = answer_.header;
        if (answer.serial == kWaitSerial && answer.value == OK) *held = true;
        if (answer.serial != serial) continue;
        *index = answer.code;
        return answer.value;
    }
}

status_t RegistryClient::watch(const Parcel& names, bool gone, bool bounded,
                               const Deadline& deadline, size_t* pending) {
    if (!connection_.valid()) return -EPIPE;
    if ((features_ & FEATURE_WATCH) == 0) return -EOPNOTSUPP;
    int32_t flags = gone ? WATCH_GONE : 0;
    status_t status = beginRequests(false);
    if (status == OK) status = sendRequest({MSG_WATCH, 0, flags, 0, kWaitSerial}, names);
    if (status == OK) status = endRequests();
    bool held = false;
    size_t index = 0;
    while (status == OK) {
        status = awaitWatch(kWaitSerial, bounded ? deadline : Deadline::after(kForeverMs), &index,
                            &held);
        if (status == -ETIMEDOUT && !bounded) {
            status = OK;
            continue;
        }
        if (status != -ETIMEDOUT || deadline.remainingMs() > 0) break;
        // Out of time: which name is still missing? The wait's own answer may come first.
        status = sendRequest({MSG_WATCH, 0, flags | WATCH_NOW, 0, kNowSerial}, names);
        if (status == OK) status = endRequests();
        if (status == OK)
            status = awaitWatch(kNowSerial, Deadline::after(callTimeoutMs()), &index, &held);
        if (held || status == OK) return OK;
        *pending = status == -EAGAIN ? index : 0;
        disconnect();
        return -ETIMEDOUT;
    }
    if (status == -EINVAL) *pending = index;
    // A wait that did not hold may still be answered: the connection is out of step.
    if (status != OK) disconnect();
    return status;
}

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
        sleepMs(pauseMs < left ? pauseMs : left);
        pauseMs = doubledPause(pauseMs, kMaxReconnectPauseMs);
    }
}

}  // namespace zorlek
