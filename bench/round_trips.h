// SPDX-License-Identifier: Apache-2.0
// Round trips through the IPC library against the floor the kernel sets: the same bytes
// bounced over a plain Unix socket pair between two processes, in the same run.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <string>
#include <vector>

#include "bench/measure.h"

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

// Reads exactly `len` bytes; false at the end of the stream or a failure.
bool readFully(int fd, void* buf, size_t len);

// Forks a child that runs `body` and exits; it dies with this process.
template <typename F>
pid_t forkChild(F body) {
    pid_t child = fork();
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        _exit(body());
    }
    return child;
}

// Runs `round` in `processes` children at once for `millis` milliseconds each, all
// started together once every one is set up (`setUp` returns false when it could not
// be), and returns the rounds per second of them all; negative when one failed.
template <typename SetUp, typename Round>
double perSecond(int processes, int millis, SetUp setUp, Round round) {
    int go[2], results[2];
    if (pipe2(go, O_CLOEXEC) != 0) return -1;
    if (pipe2(results, O_CLOEXEC) != 0) return -1;
    std::vector<pid_t> children;
    for (int i = 0; i < processes; ++i) {
        children.push_back(forkChild([&] {
            char start;
            if (!setUp() || read(go[0], &start, 1) != 1) return 1;
            long count = 0;
            double until = nowMicros() + millis * 1000.0;
            while (nowMicros() < until) {
                if (!round()) return 1;
                ++count;
            }
            return write(results[1], &count, sizeof count) == sizeof count ? 0 : 1;
        }));
    }
    close(go[0]);
    close(results[1]);
    // Every child sets up first; then all start at once.
    usleep(200 * 1000);
    std::vector<char> starts(static_cast<size_t>(processes), 'g');
    bool ok = write(go[1], starts.data(), starts.size()) == static_cast<ssize_t>(starts.size());
    long total = 0;
    for (int i = 0; i < processes && ok; ++i) {
        long count = 0;
        ok = readFully(results[0], &count, sizeof count);
        total += count;
    }
    close(go[1]);
    close(results[0]);
    for (pid_t child : children) {
        int status = 0;
        waitpid(child, &status, 0);
        ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    return ok ? total * 1000.0 / millis : -1;
}

}  // namespace zorlek::bench
