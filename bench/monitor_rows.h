// SPDX-License-Identifier: Apache-2.0
// The cost of taps to a call: a proxy call to a host with no monitor attached against the
// same call to zorlek-echo as it was before calls could be watched (built by
// bench/build_before.sh, named by ZORLEK_BENCH_BEFORE_ECHO), and to a host that a running
// `zorlek monitor` watches against one that no monitor watches.
#pragma once

#include <initializer_list>

namespace zorlek::bench {

// Both rows with this process and all it starts pinned to `cpus` (`cores` names them).
void monitorRows(const char* cores, std::initializer_list<int> cpus);

}  // namespace zorlek::bench
