// SPDX-License-Identifier: Apache-2.0
// Waiting in tests for a state rather than for a time: a condition polled with a bound,
// and what /proc shows of a process or one of its threads.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

namespace zorlek::test {

using Clock = std::chrono::steady_clock;

inline int64_t msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Polls `condition` every 10 ms until it holds or `timeoutMs` passes.
inline bool waitUntil(const std::function<bool()>& condition, int timeoutMs) {
    auto start = Clock::now();
    for (;;) {
        if (condition()) return true;
        if (msSince(start) >= timeoutMs) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// The fields of /proc/PID/stat (of its thread `tid` when given) after the program's name,
// from the state letter on; empty when unreadable.
inline std::string statFields(pid_t pid, pid_t tid = 0) {
    std::string path = "/proc/" + std::to_string(pid);
    if (tid != 0) path += "/task/" + std::to_string(tid);
    std::string text;
    if (FILE* file = std::fopen((path + "/stat").c_str(), "re")) {
        char buffer[1024];
        text.assign(buffer, std::fread(buffer, 1, sizeof buffer, file));
        std::fclose(file);
    }
    size_t end = text.rfind(')');
    return end == std::string::npos || end + 2 >= text.size() ? "" : text.substr(end + 2);
}

// True once `pid` (its thread `tid` when given) sleeps in a wait, as /proc shows it, within
// `timeoutMs`.
inline bool waitUntilAsleep(pid_t pid, int timeoutMs, pid_t tid = 0) {
    return waitUntil([&] { return statFields(pid, tid).rfind('S', 0) == 0; }, timeoutMs);
}

}  // namespace zorlek::test
