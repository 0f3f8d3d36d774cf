// Round trips through the IPC library against the floor the kernel sets: the same bytes
// bounced over a plain Unix socket pair between two processes, in the same run.
#pragma once

#include <string>

namespace zorlek::bench {

struct RoundTrips {
    double floor = -1;   // socket pair, the proxy call's bytes each way, microseconds
    double proxy = -1;   // a call through an object proxy to zorlek-echo
    double lookup = -1;  // a registry lookup, the channel let go after it
    // The kernel's part of a lookup alone: a socket-pair round trip whose answer carries
    // one end of a new socket pair, made and closed by the answering process.
    double lookupFloor = -1;
};

// Starts a registry and a zorlek-echo (which inherit this process's pinning) and measures
// the three round trips, `count` times each (lookups a tenth of that). Negative figures
// mean a round trip failed.
RoundTrips measureRoundTrips(int count);

// The median round trip of `size` bytes each way over a socket pair between this process
// and a child, `count` times, in microseconds.
double socketPairMicros(int count, size_t size);

// Lookups per second that found `name`, from `clients` processes at once, each looking
// it up in the registry at `socket` over and over for `millis` milliseconds and letting
// each channel go before the next lookup; `*refused` counts those the registry refused
// for a backlog (-EAGAIN). Negative when a client could not run or a lookup failed
// otherwise.
double lookupsPerSecond(const std::string& socket, const std::string& name, int clients, int millis,
                        long* refused);

}  // namespace zorlek::bench
