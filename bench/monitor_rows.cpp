// SPDX-License-Identifier: Apache-2.0
#include "bench/monitor_rows.h"

#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>

#include "bench/measure.h"
#include "bench/polling_peers.h"
#include "bench/table.h"
#include "platform/ipc/registry_client.h"

namespace zorlek::bench {
namespace {

constexpr int kTurns = 200;

// A proxy call to zorlek-echo, as the other rows make it.
struct EchoCall {
    sp<IBinder> object;
    Parcel request, reply;
    EchoCall(const sp<RegistryClient>& client, const char* name) {
        object = client ? client->lookupService(String16(name)) : nullptr;
        request.writeInterfaceToken(String16("zorlek.IEcho"));
        request.writeInt32(7);
        request.writeString16(String16("hello"));
    }
    bool operator()() { return object->sendTransaction(1, request, &reply, 0) == OK; }
};

// `zorlek monitor NAME` with its records read by a shell that says "ready" at the first:
// attached once a call has been seen. Calls `call` until then, for at most 10 s.
std::unique_ptr<test::Process> attachMonitor(test::Registry& registry, const char* name,
                                             EchoCall& call) {
    std::string line = test::binPath("zorlek") + " monitor " + name +
                       " | { read -r first; echo ready; exec cat >/dev/null; }";
    auto monitor = test::Process::start({"/bin/sh", "-c", line}, registry.env());
    for (int i = 0; monitor && i < 500; ++i) {
        if (!call()) break;
        if (monitor->waitForLine("ready", 20)) return monitor;
    }
    return nullptr;
}

// The echo as it was before taps, when bench/build_before.sh built one.
std::unique_ptr<test::Process> startBefore(test::Registry& registry) {
    const char* path = getenv("ZORLEK_BENCH_BEFORE_ECHO");
    if (path == nullptr || *path == '\0') return nullptr;
    auto before = test::Process::start({path, "bench.before"}, registry.env());
    return before && before->waitForLine("ready") ? std::move(before) : nullptr;
}

// The processor time of the processes `pid` started (the monitor and its reader).
double childrenCpuMicros(pid_t pid) {
    std::string path =
        "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children";
    FILE* file = fopen(path.c_str(), "re");
    double sum = 0;
    for (int child; file != nullptr && fscanf(file, "%d", &child) == 1;) sum += cpuNs(child) / 1000;
    if (file != nullptr) fclose(file);
    return sum;
}

// The rows: the registry, the hosts and the monitor start on the processor this process is
// pinned to, and this process then calls from `clientCpu`. Polling is off everywhere: what
// is measured is the tap, not whether a channel learnt to poll.
void measure(const std::string& cores, int clientCpu) {
    test::Registry registry({}, {"ZORLEK_POLL=0"});
    setenv("ZORLEK_POLL", "0", 1);
    auto now = registry.ready() ? registry.startEcho({"bench.now"}) : nullptr;
    auto watched = registry.ready() ? registry.startEcho({"bench.watched"}) : nullptr;
    auto before = registry.ready() ? startBefore(registry) : nullptr;
    sp<RegistryClient> client = RegistryClient::connect(registry.socketPath().c_str(), 2000);
    EchoCall toNow(client, "bench.now"), toWatched(client, "bench.watched"),
        toBefore(client, "bench.before");
    auto monitor = toWatched.object ? attachMonitor(registry, "bench.watched", toWatched) : nullptr;
    bool pinned = pinTo({clientCpu});
    // Batches of each in turn, so that all meet the same load.
    std::vector<double> times[3], unwatched, watching;
    bool ok = now && toNow.object && monitor && pinned;
    double monitorCpu = ok ? childrenCpuMicros(monitor->pid()) : 0;
    double hostCpu[2] = {ok ? cpuNs(now->pid()) / 1000 : 0, ok ? cpuNs(watched->pid()) / 1000 : 0};
    for (int turn = 0; ok && turn < kTurns; ++turn) {
        double t[3] = {medianMicros(100, toNow), medianMicros(100, toWatched),
                       toBefore.object ? medianMicros(100, toBefore) : 1};
        for (int i = 0; i < 3; ++i) times[i].push_back(t[i]), ok = ok && t[i] > 0;
        unwatched.push_back(t[0] / t[2]);
        watching.push_back(t[1] / t[0]);
    }
    monitorCpu = ok ? childrenCpuMicros(monitor->pid()) - monitorCpu : 0;
    for (int i = 0; i < 2; ++i) {
        hostCpu[i] = ok ? cpuNs((i ? watched : now)->pid()) / 1000 - hostCpu[i] : 0;
    }
    unsetenv("ZORLEK_POLL");
    bool withBefore = ok && toBefore.object;
    row("proxy call, no monitor attached, " + cores, fixed(median(times[0]), "µs"),
        withBefore ? "the call before taps: " + fixed(median(times[2]), "µs")
                   : "the call before taps: set ZORLEK_BENCH_BEFORE_ECHO (bench/build_before.sh)",
        withBefore ? median(unwatched) : -1, "≤ 1.02 ×");
    row("proxy call, a monitor attached and reading, " + cores, fixed(median(times[1]), "µs"),
        "no monitor attached: " + fixed(median(times[0]), "µs"), ok ? median(watching) : -1,
        "≤ 1.2 ×");
    row("the monitor's processor time per call watched, and its reader's, " + cores,
        fixed(monitorCpu / (kTurns * 100.0), "µs", 2),
        "a call with none attached: " + fixed(median(times[0]), "µs"),
        ok ? monitorCpu / (kTurns * 100.0) / median(times[0]) : -1, "");
    row("the host's processor time per call, watched, " + cores,
        fixed(hostCpu[1] / (kTurns * 100.0), "µs", 2),
        "not watched: " + fixed(hostCpu[0] / (kTurns * 100.0), "µs", 2),
        hostCpu[0] > 0 ? hostCpu[1] / hostCpu[0] : -1, "");
}

}  // namespace

void monitorRows(const char* cores, int peersCpu, int clientCpu) {
    if (!pinTo({peersCpu})) {
        return row(std::string("monitor rows, ") + cores, "cannot pin", "", -1, "");
    }
    measure(cores, clientCpu);
    unpin();
}

}  // namespace zorlek::bench
