// Whole runs of the zorlek tool against a real registry and echo service, timed against
// the cost of starting and reaping a trivial program in the same run (the machine is
// shared and noisy, so ratios to that baseline are what to compare over time).
//
// usage: tool_bench [RUNS]     (default 300 runs per row)

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "harness/harness.h"

extern char** environ;

namespace {

struct Sample {
    double micros;
    long maxRssKb;
};

double nowMicros() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

// One run of argv with its output discarded; false if it could not start or failed.
bool runOnce(const std::vector<std::string>& args, int expectedStatus, Sample* sample) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    double start = nowMicros();
    pid_t pid;
    int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return false;
    int status = 0;
    rusage usage = {};
    if (wait4(pid, &status, 0, &usage) != pid) return false;
    sample->micros = nowMicros() - start;
    sample->maxRssKb = usage.ru_maxrss;
    return WIFEXITED(status) && WEXITSTATUS(status) == expectedStatus;
}

struct Row {
    const char* label;
    std::vector<std::string> argv;
    int status;
};

}  // namespace

int main(int argc, char** argv) {
    int runs = argc > 1 ? std::atoi(argv[1]) : 300;
    if (runs < 10) runs = 10;
    zorlek::test::Registry registry;
    if (!registry.ready()) {
        std::fprintf(stderr, "tool_bench: registry did not start\n");
        return 1;
    }
    setenv("ZORLEK_REGISTRY", registry.socketPath().c_str(), 1);
    std::vector<std::string> names;
    for (int i = 0; i < 20; ++i) names.push_back("bench.service" + std::to_string(i));
    auto echo = registry.startEcho(names);
    if (!echo) {
        std::fprintf(stderr, "tool_bench: zorlek-echo did not start\n");
        return 1;
    }
    const std::string tool = zorlek::test::binPath("zorlek");
    const Row rows[] = {
        {"baseline: /bin/true", {"/bin/true"}, 0},
        {"zorlek (usage)", {tool}, 0},
        {"zorlek check", {tool, "check", "bench.service0"}, 0},
        {"zorlek call i32 s16", {tool, "call", "bench.service0", "1", "i32", "7", "s16", "hi"}, 0},
        {"zorlek list (20 services)", {tool, "list"}, 0},
    };
    std::printf("%-28s %10s %10s %10s %8s %9s\n", "run", "median us", "p90 us", "min us", "x base",
                "maxrss kB");
    double baseline = 0;
    for (const Row& row : rows) {
        std::vector<Sample> samples(static_cast<size_t>(runs));
        for (Sample& s : samples) {
            if (!runOnce(row.argv, row.status, &s)) {
                std::fprintf(stderr, "tool_bench: %s failed\n", row.label);
                return 1;
            }
        }
        std::sort(samples.begin(), samples.end(),
                  [](const Sample& a, const Sample& b) { return a.micros < b.micros; });
        double median = samples[samples.size() / 2].micros;
        if (baseline == 0) baseline = median;
        long rss = 0;
        for (const Sample& s : samples) rss = std::max(rss, s.maxRssKb);
        std::printf("%-28s %10.0f %10.0f %10.0f %8.2f %9ld\n", row.label, median,
                    samples[samples.size() * 9 / 10].micros, samples.front().micros,
                    median / baseline, rss);
    }
    return 0;
}
