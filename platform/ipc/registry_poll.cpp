// SPDX-License-Identifier: Apache-2.0
// A client's wait for the registry's answer: polled for the connection's budget before it
// sleeps, as a channel's wait for a reply is (client_poll.cpp).
#include <algorithm>
#include <utility>

#include "platform/base/deadline.h"
#include "platform/ipc/registry_client.h"

namespace zorlek {

status_t RegistryClient::awaitAnswer(Message* answer, const Deadline& deadline) {
    // An answer already here (one of a batch), or one partly here, measures nothing.
    int got = connection_.next(answer);
    if (got != 0) return got < 0 ? got : OK;
    bool measured = poll_.usable() && !connection_.midMessage() && !connection_.wantsToSend();
    int64_t start = measured ? monotonicNs() : 0;
    int64_t planned = measured ? poll_.plan(start) : 0;
    bool lostCpu = false;
    for (int64_t now = start, checks = 1; now - start < planned; ++checks) {
        ssize_t n = connection_.fill();
        if (n == 0) return -EPIPE;
        if (n < 0 && n != -EAGAIN) return static_cast<status_t>(n);
        got = n > 0 ? connection_.next(answer) : 0;
        if (got < 0) return got;
        int64_t before = std::exchange(now, monotonicNs());
        lostCpu = lostCpu || now - before > poll_.limits().lostCpuNs;
        if (got == 0) continue;
        // There at the first check: sleeping would have found it as soon.
        if (checks > 1) poll_.record(now, planned, now - start, lostCpu);
        return OK;
    }
    status_t status = connection_.receive(answer, deadline);
    if (!measured || status != OK) return status;
    // After a poll that ran out, a miss however the receive ended.
    int64_t now = monotonicNs();
    poll_.record(now, planned, planned > 0 ? std::max(now - start, planned + 1) : now - start,
                 lostCpu);
    return status;
}

}  // namespace zorlek
