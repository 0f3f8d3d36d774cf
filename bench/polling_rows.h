// SPDX-License-Identifier: Apache-2.0
// Where a call's time goes between two processes: a call to zorlek-echo with and without
// polling (ZORLEK_POLL=0), each end pinned, against a socket pair pinned alike whose
// receivers take the sender's credentials, as a host does; the processor time of both
// processes per round trip; a polling host's share of a processor once idle; and many
// clients at once with and without polling.
#pragma once

namespace zorlek::bench {

// Prints the rows of the `polling` group.
void pollingRows();

}  // namespace zorlek::bench
