// SPDX-License-Identifier: Apache-2.0
#include "bench/measure.h"

#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace zorlek::bench {

double nowMicros() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t mid = values.size() / 2;
    return values.size() % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

bool runTimed(const Argv& args, Run* out, int status) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    double start = nowMicros();
    pid_t pid;
    int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return false;
    int waitStatus = 0;
    rusage usage = {};
    if (wait4(pid, &waitStatus, 0, &usage) != pid) return false;
    out->micros = nowMicros() - start;
    out->cpuMicros = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6 +
                     static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
    return WIFEXITED(waitStatus) && WEXITSTATUS(waitStatus) == status;
}

namespace {

// Makes the changes "KEY=VALUE" to this process's environment, which runs inherit.
void apply(const Argv& changes) {
    for (const std::string& change : changes) {
        size_t equals = change.find('=');
        if (equals == std::string::npos) continue;
        setenv(change.substr(0, equals).c_str(), change.c_str() + equals + 1, 1);
    }
}

}  // namespace

Pair runPaired(const Argv& a, const Argv& b, int runs, int aStatus, int bStatus, const Argv& aEnv,
               const Argv& bEnv) {
    Pair pair;
    std::vector<double> as, bs, ratios;
    for (int i = 0; i < runs; ++i) {
        Run ra, rb;
        apply(aEnv);
        bool ranA = runTimed(a, &ra, aStatus);
        apply(bEnv);
        if (!ranA || !runTimed(b, &rb, bStatus)) return pair;
        as.push_back(ra.micros);
        bs.push_back(rb.micros);
        ratios.push_back(ra.micros / rb.micros);
    }
    pair.a = median(as);
    pair.b = median(bs);
    pair.ratio = median(ratios);
    pair.ok = true;
    return pair;
}

Pair runAlone(const Argv& a, int runs, int status) {
    Pair pair;
    std::vector<double> as, cpu;
    for (int i = 0; i < runs; ++i) {
        Run ra;
        if (!runTimed(a, &ra, status)) return pair;
        as.push_back(ra.micros);
        cpu.push_back(ra.cpuMicros);
    }
    pair.a = median(as);
    pair.aCpu = median(cpu);
    pair.ok = true;
    return pair;
}

bool pinTo(std::initializer_list<int> cpus) {
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int cpu : cpus) CPU_SET(cpu, &set);
    return sched_setaffinity(0, sizeof(set), &set) == 0;
}

void unpin() {
    cpu_set_t set;
    CPU_ZERO(&set);
    long count = sysconf(_SC_NPROCESSORS_CONF);
    for (long cpu = 0; cpu < count && cpu < CPU_SETSIZE; ++cpu) CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof(set), &set);
}

int processorsAvailable() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof(set), &set) != 0) return 1;
    return CPU_COUNT(&set);
}

long residentKb(pid_t pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
    FILE* file = std::fopen(path, "r");
    if (file == nullptr) return -1;
    char line[256];
    long kb = -1;
    while (std::fgets(line, sizeof line, file) != nullptr) {
        if (std::strncmp(line, "VmRSS:", 6) == 0) kb = std::atol(line + 6);
    }
    std::fclose(file);
    return kb;
}

double cpuMicros(pid_t pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    FILE* file = std::fopen(path, "r");
    if (file == nullptr) return 0;
    char text[1024];
    size_t got = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    text[got] = '\0';
    // The fields after the command name, which is in parentheses and may hold spaces.
    const char* at = std::strrchr(text, ')');
    unsigned long user = 0, system = 0;
    if (at == nullptr || std::sscanf(at + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu",
                                     &user, &system) != 2) {
        return 0;
    }
    return (user + system) * 1e6 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace zorlek::bench
