// SPDX-License-Identifier: Apache-2.0
// The whole performance table in one run: every row a median, read as a ratio against a
// baseline measured in the same run (the machine is shared and noisy).
//
// usage: perf_table [GROUP...]   (about two to four minutes; prints a Markdown table)
//   GROUP is one of list, process, operator, rounds, throughput, silent, descriptors,
//   hashing, polling, shared, callbacks, monitor: only those groups of rows run (all of them
//   without one).

#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/callback_rows.h"
#include "bench/channel_rows.h"
#include "bench/dbus_peer.h"
#include "bench/measure.h"
#include "bench/monitor_rows.h"
#include "bench/operator_rows.h"
#include "bench/polling_rows.h"
#include "bench/round_trips.h"
#include "bench/shared_rows.h"
#include "bench/table.h"
#include "bench/wait_rows.h"
#include "harness/harness.h"
#include "platform/ipc.h"
#include "platform/transport/wire.h"

namespace zorlek::bench {
namespace {

// The peak resident memory of one run of `argv`, in kB, weighed by peak_memory; -1 when
// the run failed.
long peakKb(const Argv& argv, const test::EnvChanges& env) {
    Argv weighed = {test::binPath("../bench/peak_memory")};
    weighed.insert(weighed.end(), argv.begin(), argv.end());
    test::RunResult got = test::runProgram(weighed, env, 120000);
    long kb = -1;
    int status = -1;
    if (got.exitCode != 0 || std::sscanf(got.out.c_str(), "%ld %d", &kb, &status) != 2) return -1;
    return status == 0 ? kb : -1;
}

// A registry holding `names` names, and the `zorlek list` runs against it.
struct Listed {
    explicit Listed(int count) : names(count) {}
    test::Registry registry;
    std::vector<std::unique_ptr<test::Process>> hosts;
    int names;
    std::vector<double> wall, cpu;
    double serverCpu = 0;  // the registry's and the hosts', over every run

    bool ready() const {
        for (const auto& process : hosts) {
            if (!process) return false;
        }
        return registry.ready();
    }
    // The processor time the registry and the hosts have used so far.
    double usedCpu() {
        double used = cpuMicros(registry.process()->pid());
        for (const auto& process : hosts) used += cpuMicros(process->pid());
        return used;
    }
    // Runs `zorlek list` against this registry `runs` times.
    bool list(int runs) {
        setenv("ZORLEK_REGISTRY", registry.socketPath().c_str(), 1);
        for (int i = 0; i < runs; ++i) {
            Run run;
            double before = usedCpu();
            if (!runTimed({test::binPath("zorlek"), "list"}, &run)) return false;
            serverCpu += usedCpu() - before;
            wall.push_back(run.micros);
            cpu.push_back(run.cpuMicros);
        }
        return true;
    }
};

void wholeProcessRows(const std::string& empty) {
    test::Registry registry;
    auto echo = registry.startEcho({"bench.echo"});
    if (!registry.ready() || !echo) return row("whole process rows", "no registry", "", -1, "");
    setenv("ZORLEK_REGISTRY", registry.socketPath().c_str(), 1);
    const std::string tool = test::binPath("zorlek");
    Pair check = runPaired({tool, "check", "bench.echo"}, {empty}, 301);
    row("`check`, whole process", fixed(check.a, "µs", 0),
        "empty C++ program " + fixed(check.b, "µs", 0), check.ok ? check.ratio : -1, "≤ 1.25");
    // What the tool costs above the same requests made bare.
    const std::string bare = test::binPath("../bench/bare_check");
    Pair floor = runPaired({tool, "check", "bench.echo"}, {bare, "bench.echo"}, 301);
    row("`check`, whole process, against the same requests made bare", fixed(floor.a, "µs", 0),
        "`bare_check` " + fixed(floor.b, "µs", 0), floor.ok ? floor.ratio : -1, "");
    Pair call = runPaired({tool, "call", "bench.echo", "1", "i32", "7"}, {empty}, 301);
    row("`call`, whole process", fixed(call.a, "µs", 0),
        "empty C++ program " + fixed(call.b, "µs", 0), call.ok ? call.ratio : -1, "≤ 1.1");
    // A listing takes room for the names it has, not for its whole window at start.
    test::Registry none;
    if (!none.ready()) return row("`list` of 0 names", "no registry", "", -1, "");
    Pair list = runPaired({tool, "list"}, {tool, "check", "bench.echo"}, 301, 0, 0,
                          {"ZORLEK_REGISTRY=" + none.socketPath()},
                          {"ZORLEK_REGISTRY=" + registry.socketPath()});
    row("`list` of 0 names against `check`, whole process", fixed(list.a, "µs", 0),
        "`check` " + fixed(list.b, "µs", 0), list.ok ? list.ratio : -1, "≤ 1.1");
    // A method called by name, its description asked of the service, its arguments checked
    // and its reply printed as JSON, against the same method called by code.
    auto adder =
        test::Process::start({test::binPath("../samples/zorlek-sample-adder")}, registry.env());
    if (!adder || !adder->waitForLine("ready")) {
        return row("`invoke`, whole process", "the sample did not start", "", -1, "");
    }
    Pair invoke = runPaired({tool, "invoke", "sample.adder", "add", "a=2", "b=40"},
                            {tool, "call", "sample.adder", "1", "i32", "2", "i32", "40"}, 301);
    row("`invoke`, whole process, against `call` of the same method", fixed(invoke.a, "µs", 0),
        "`call` " + fixed(invoke.b, "µs", 0), invoke.ok ? invoke.ratio : -1, "≤ 1.15");
}

// The rows against busctl, with `peer` holding 1,000 names and the registry in the
// environment holding bench.svc000000 .. bench.svc000999.
void busctlRows(DbusPeer& peer, const std::string& tool) {
    const std::string address = "--address=" + peer.address();
    Pair list = runPaired({tool, "list"}, {"/usr/bin/busctl", address, "list", "--no-pager"}, 11);
    row("`list`, 1,000 names on one host", fixed(list.a / 1000, "ms"),
        "`busctl list`, 1,000 names: " + fixed(list.b / 1000, "ms"), list.ok ? list.ratio : -1,
        "≤ 0.03");
    Pair call = runPaired({tool, "call", name(0), "1", "i32", "7"},
                          {"/usr/bin/busctl", address, "call", "com.example.svc0",
                           "/com/example/Echo", "com.example.Echo", "Echo", "ay", "1", "7"},
                          101);
    row("`call`, whole process", fixed(call.a, "µs", 0), "`busctl call`: " + fixed(call.b, "µs", 0),
        call.ok ? call.ratio : -1, "keep (0.21)");
}

// The rows against busctl and those over many hosts, `thousand` holding 1,000 names on
// one host.
void comparisonRows(test::Registry& thousand, const std::string& tool) {
    std::string missing = DbusPeer::missing();
    DbusPeer peer;
    if (!missing.empty()) {
        std::printf("| `busctl` rows | skipped: %s is not installed | | | |\n", missing.c_str());
    } else if (!peer.start(1000)) {
        std::printf("| `busctl` rows | skipped: the D-Bus fixture did not start | | | |\n");
    } else {
        setenv("ZORLEK_REGISTRY", thousand.socketPath().c_str(), 1);
        busctlRows(peer, tool);
    }
    manyHostRows(missing.empty() && !peer.address().empty() ? &peer : nullptr);
    peer.stop();
}

void listRows(const std::string& empty) {
    // Four registries side by side, listed in turn, so that every size meets the same load.
    Listed none(0), thousand(1000), tenThousand(10000), hundredThousand(100000);
    host(thousand.registry, 0, 1000, &thousand.hosts);
    host(tenThousand.registry, 0, 10000, &tenThousand.hosts);
    host(hundredThousand.registry, 0, 100000, &hundredThousand.hosts);
    for (const Listed* listed : {&none, &thousand, &tenThousand, &hundredThousand}) {
        if (!listed->ready())
            return row("list rows", "a registry or host did not start", "", -1, "");
    }
    const std::string tool = test::binPath("zorlek");
    comparisonRows(thousand.registry, tool);
    for (int round = 0; round < 5; ++round) {
        if (!none.list(3) || !thousand.list(3) || !tenThousand.list(1) ||
            !hundredThousand.list(1)) {
            return row("list rows", "a listing failed", "", -1, "");
        }
    }
    auto perName = [&](const Listed& listed) {
        return (median(listed.wall) - median(none.wall)) / listed.names;
    };
    double base = perName(thousand);
    row("`list`, cost per name, 1,000 names", fixed(base, "µs"),
        "`list` of 0 names: " + fixed(median(none.wall) / 1000, "ms", 2), 1.0, "");
    for (const Listed* listed : {&tenThousand, &hundredThousand}) {
        row("`list`, cost per name, " + std::string(listed->names == 10000 ? "10,000" : "100,000") +
                " names",
            fixed(perName(*listed), "µs"), "at 1,000 names", perName(*listed) / base,
            listed->names == 100000 ? "≤ 1.1" : "");
    }
    // Where the time goes: processor time per name of each party, against the wall time
    // per name (the ratio is how many processors were busy on average).
    double toolCpu = (median(tenThousand.cpu) - median(none.cpu)) / 10000;
    double serverCpu = tenThousand.serverCpu / static_cast<double>(tenThousand.wall.size()) / 10000;
    row("`list`, processor time per name at 10,000 names (tool " + fixed(toolCpu, "µs") +
            ", registry and host " + fixed(serverCpu, "µs") + ")",
        fixed(toolCpu + serverCpu, "µs"),
        "wall time per name: " + fixed(perName(tenThousand), "µs"),
        (toolCpu + serverCpu) / perName(tenThousand), "");
    long toolKb = peakKb({tool, "list"}, hundredThousand.registry.env());
    long emptyKb = peakKb({empty}, {});
    row("`list` of 100,000 names, the tool's peak resident memory", fixed(toolKb / 1024.0, "MiB"),
        "empty C++ program: " + fixed(emptyKb / 1024.0, "MiB"),
        toolKb > 0 && emptyKb > 0 ? static_cast<double>(toolKb) / emptyKb : -1, "≤ 16 MiB");
    long namesKb = residentKb(hundredThousand.registry.process()->pid()) -
                   residentKb(none.registry.process()->pid());
    // Each name is held as its UTF-16 code units: 15 of them here.
    double perNameBytes = namesKb * 1024.0 / 100000 - 30;
    row("registry memory per name at 100,000 names, beyond the name", fixed(perNameBytes, "B", 0),
        "the name: 30 B", perNameBytes / 30, "≤ 200 B");
}

void roundTripRows(const char* cores, std::initializer_list<int> cpus, int count) {
    if (!pinTo(cpus)) return row(std::string("round trips on ") + cores, "cannot pin", "", -1, "");
    RoundTrips trips = measureRoundTrips(count);
    unpin();
    std::string floor = "socket pair, " + std::string(cores) + ": " + fixed(trips.floor, "µs");
    auto ratio = [](double a, double b) { return a > 0 && b > 0 ? a / b : -1; };
    row(std::string("proxy call, ") + cores, fixed(trips.proxy, "µs"), floor,
        ratio(trips.proxy, trips.floor), "≤ 1.1");
    row(std::string("lookup of a name whose host the client reaches, ") + cores,
        fixed(trips.lookupKnown, "µs"), floor, ratio(trips.lookupKnown, trips.floor), "≤ 1.3");
    row(std::string("first lookup of a host, ") + cores, fixed(trips.lookupFirst, "µs"), floor,
        ratio(trips.lookupFirst, trips.floor), "≤ 2.5");
    // What bounds the first lookup: the kernel's own work for a channel handed out.
    row(std::string("first lookup of a host, ") + cores + ", against the kernel's part of it",
        fixed(trips.lookupFirst, "µs"),
        "socket pair whose answer hands out a new socket pair: " + fixed(trips.lookupFloor, "µs"),
        ratio(trips.lookupFirst, trips.lookupFloor), "");
}

void throughputRows() {
    test::Registry registry;
    auto echo = registry.startEcho({"bench.echo"});
    if (!registry.ready() || !echo) return row("lookups per second", "no registry", "", -1, "");
    // A lookup's bytes: its request, and its answer of a header.
    Parcel lookup;
    lookup.writeString16(String16("bench.echo"));
    size_t size = kHeaderSize + lookup.dataSize();
    for (int clients : {1, 4, 16}) {
        double pairs = socketPairsPerSecond(clients, size, 1000);
        double rate = lookupsPerSecond(registry.socketPath(), "bench.echo", clients, 1000);
        std::string who = std::to_string(clients) + (clients > 1 ? " clients" : " client");
        row("lookups per second, " + who, fixed(rate, "/s", 0),
            "socket-pair round trips per second, " + std::to_string(clients) +
                (clients > 1 ? " pairs: " : " pair: ") + fixed(pairs, "/s", 0),
            rate > 0 && pairs > 0 ? rate / pairs : -1, clients == 4 ? "≥ 0.5" : "");
    }
}

}  // namespace
}  // namespace zorlek::bench

int main(int argc, char** argv) {
    using namespace zorlek::bench;
    constexpr const char* kGroups[] = {"list",       "process", "operator",    "rounds",
                                       "throughput", "silent",  "descriptors", "hashing",
                                       "polling",    "shared",  "callbacks",   "monitor"};
    for (int i = 1; i < argc; ++i) {
        bool known = false;
        for (const char* group : kGroups) known = known || std::strcmp(argv[i], group) == 0;
        if (!known) {
            std::fprintf(stderr, "perf_table: unknown group %s; the groups:", argv[i]);
            for (const char* group : kGroups) std::fprintf(stderr, " %s", group);
            std::fprintf(stderr, "\n");
            return 2;
        }
    }
    auto wanted = [&](const char* group) {
        if (argc < 2) return true;
        for (int i = 1; i < argc; ++i) {
            if (std::strcmp(argv[i], group) == 0) return true;
        }
        return false;
    };
    double start = nowMicros();
    const std::string empty = zorlek::test::binPath("../bench/empty_program");
    utsname machine{};
    uname(&machine);
    double load[1] = {0};
    getloadavg(load, 1);
    std::printf("%d processors, %s %s, load average %.2f at the start\n\n", processorsAvailable(),
                machine.sysname, machine.release, load[0]);
    std::printf("| row | measured | baseline, same run | ratio | target |\n");
    std::printf("|---|---|---|---|---|\n");
    if (wanted("list")) listRows(empty);
    if (wanted("process")) wholeProcessRows(empty);
    if (wanted("operator")) {
        statusRow();
        waitRow();
    }
    if (wanted("rounds")) {
        roundTripRows("one core", {0}, 20000);
        if (processorsAvailable() >= 2) roundTripRows("two cores", {0, 1}, 20000);
    }
    if (wanted("throughput")) throughputRows();
    if (wanted("silent")) silentServicesRow();
    if (wanted("descriptors")) descriptorRow();
    if (wanted("hashing")) collidingWaitRow();
    if (wanted("polling")) pollingRows();
    if (wanted("shared")) sharedMemoryRows();
    if (wanted("callbacks")) callbackRows();
    if (wanted("monitor")) {
        monitorRows("one core", 0, 0);
        if (processorsAvailable() >= 2) monitorRows("two pinned cores", 1, 0);
    }
    std::printf("\nwhole run: %.0f s\n", (nowMicros() - start) / 1e6);
    return 0;
}
