// SPDX-License-Identifier: Apache-2.0
// A client's wait for one reply: polled for the channel's budget before it sleeps.
#include <algorithm>
#include <utility>

#include "platform/transport/client_channel.h"

namespace zorlek {

void ClientChannel::awaitReply(const PendingReply* awaited, HeldReplies* held, int64_t start) {
    // A reply already partly here measures nothing: only a wait from its start is planned.
    // Nor does any wait where polling is off for good: the clock is left alone.
    bool measured = poll_.usable() && !connection_.midMessage();
    int64_t planned = measured ? poll_.plan(start) : 0;
    bool lostCpu = false;
    for (int64_t now = start, checks = 1; now - start < planned; ++checks) {
        takeIn(awaited, held);
        int64_t before = std::exchange(now, monotonicNs());
        lostCpu = lostCpu || now - before > poll_.limits().lostCpuNs;
        if (!alive()) return;
        if (!awaited->done) continue;
        // There at the first check: sleeping would have found it as soon.
        if (checks > 1) poll_.record(now, planned, now - start, lostCpu);
        return;
    }
    takeIn(awaited, held, true);
    if (!measured || (planned == 0 && !awaited->done)) return;
    // After a poll that ran out, a miss however the receive ended.
    int64_t now = monotonicNs();
    poll_.record(now, planned, planned > 0 ? std::max(now - start, planned + 1) : now - start,
                 lostCpu);
}

}  // namespace zorlek
