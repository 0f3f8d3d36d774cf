// SPDX-License-Identifier: Apache-2.0
// What a shared-memory path per channel would give: the prototype of bench/shm_ring.h
// (sleeping at once, and polling for its budget first) against the socket pair whose
// receivers take the sender's credentials and against a polling call to zorlek-echo, each
// end pinned, on two processors and on one: the round trip and the processor time of both
// processes per round trip.
#pragma once

namespace zorlek::bench {

// Prints the rows of the `shared` group.
void sharedMemoryRows();

}  // namespace zorlek::bench
