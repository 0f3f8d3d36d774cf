// SPDX-License-Identifier: Apache-2.0
// Clocks, medians, whole runs of a program and processor pinning for the benchmarks. The
// machine they run on is shared and noisy, so every figure is a median, and every row is
// read against a baseline measured in the same run.
#pragma once

#include <sys/types.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace zorlek::bench {

using Argv = std::vector<std::string>;

// The monotonic clock in microseconds.
double nowMicros();

// The median of `values` (0 when there are none).
double median(std::vector<double> values);

// Runs `round` `count` times in batches of `batch` and returns the median over the
// batches of the mean time of one round, in microseconds; negative when a round failed.
template <typename F>
double medianMicros(int count, F round, int batch = 100) {
    std::vector<double> batches;
    for (int done = 0; done < count; done += batch) {
        double start = nowMicros();
        for (int i = 0; i < batch; ++i) {
            if (!round()) return -1;
        }
        batches.push_back((nowMicros() - start) / batch);
    }
    return median(std::move(batches));
}

// One finished run of a program.
struct Run {
    double micros = 0;
    double cpuMicros = 0;  // user and system time
};

// Runs argv (argv[0] a path) with standard output and error on /dev/null and waits for
// it. False when it could not be started, was killed by a signal, or exited with a status
// other than `status`.
bool runTimed(const Argv& argv, Run* out, int status = 0);

// Medians of two programs run in turn, A B A B ..., `runs` times each.
struct Pair {
    double a = 0;      // median wall time of A, microseconds
    double b = 0;      // median wall time of B
    double ratio = 0;  // median of the ratios A/B of each turn
    double aCpu = 0;   // median processor time of A, microseconds
    bool ok = false;
};
// Each side's environment changes ("KEY=VALUE") are made before each of its runs, so that
// A and B may each talk to a registry of their own.
Pair runPaired(const Argv& a, const Argv& b, int runs, int aStatus = 0, int bStatus = 0,
               const Argv& aEnv = {}, const Argv& bEnv = {});

// Medians of one program run `runs` times; ok false when a run failed.
Pair runAlone(const Argv& a, int runs, int status = 0);

// Pins this process, and every process it starts from now on, to `cpus`. False when the
// kernel refused.
bool pinTo(std::initializer_list<int> cpus);
// Lets this process run on every processor again.
void unpin();
// The number of processors this process may run on.
int processorsAvailable();

// A process's resident memory in kB (VmRSS); -1 when it cannot be read.
long residentKb(pid_t pid);
// The processor time a running process has used so far (user and system), microseconds.
double cpuMicros(pid_t pid);

}  // namespace zorlek::bench
