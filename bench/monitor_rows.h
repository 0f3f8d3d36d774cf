// SPDX-License-Identifier: Apache-2.0
// The cost of taps to a call: a proxy call to a host with no monitor attached against the
// same call to zorlek-echo as it was before calls could be watched (built by
// bench/build_before.sh, named by ZORLEK_BENCH_BEFORE_ECHO), and to a host that a running
// `zorlek monitor` watches against one that no monitor watches.
#pragma once

namespace zorlek::bench {

// The rows with the registry, the hosts and the monitor pinned to processor `peersCpu`, and
// the calling client (this process) to `clientCpu`; `cores` names the two.
void monitorRows(const char* cores, int peersCpu, int clientCpu);

}  // namespace zorlek::bench
