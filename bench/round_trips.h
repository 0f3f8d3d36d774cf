// SPDX-License-Identifier: Apache-2.0
// Round trips through the IPC library against the floor the kernel sets: the same bytes
// bounced over a plain Unix socket pair between two processes, in the same run.
#pragma once

#include <cstddef>
#include <string>

namespace zorlek::bench {

struct RoundTrips {
    double floor = -1;  // socket pair, the proxy call's bytes each way, microseconds
    double proxy = -1;  // a call through an object proxy to zorlek-echo
    // A registry lookup of a name whose host the client already reaches (the answer is
    // the handle alone), and one whose host it does not (the answer brings a channel,
    // let go before the next).
    double lookupKnown = -1;
    double lookupFirst = -1;
    // The kernel's part of a first lookup alone: a socket-pair round trip whose answer
    // carries one end of a new socket pair, made and closed by the answering process.
    double lookupFloor = -1;
};

// Starts a registry and a zorlek-echo (which inherit this process's pinning) and measures
// the round trips, `count` times each (lookups a tenth of that). Negative figures mean a
// round trip failed.
RoundTrips measureRoundTrips(int count);

// The median round trip of `size` bytes each way over a socket pair between this process
// and a child, `count` times, in microseconds.
double socketPairMicros(int count, size_t size);

// Round trips per second of `pairs` socket pairs bouncing `size` bytes at once, each
// between two processes of its own, for `millis` milliseconds: the baseline of
// lookupsPerSecond, measured the same way.
double socketPairsPerSecond(int pairs, size_t size, int millis);

// Lookups per second that found `name`, from `clients` processes at once, each looking
// it up in the registry at `socket` over and over for `millis` milliseconds while it
// holds an object of that host. Negative when a client could not run or a lookup failed.
double lookupsPerSecond(const std::string& socket, const std::string& name, int clients,
                        int millis);

}  // namespace zorlek::bench
