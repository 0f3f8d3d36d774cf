// The whole performance table in one run: every row a median, read as a ratio against a
// baseline measured in the same run (the machine is shared and noisy).
//
// usage: perf_table        (about two to four minutes; prints a Markdown table)

#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench/dbus_peer.h"
#include "bench/measure.h"
#include "bench/round_trips.h"
#include "harness/harness.h"

namespace zorlek::bench {
namespace {

void row(const std::string& what, const std::string& measured, const std::string& baseline,
         double ratio, const std::string& target) {
    char ratioText[32];
    std::snprintf(ratioText, sizeof ratioText, ratio > 0 ? "%.2f" : "failed", ratio);
    std::printf("| %s | %s | %s | %s | %s |\n", what.c_str(), measured.c_str(), baseline.c_str(),
                ratioText, target.c_str());
    std::fflush(stdout);
}

std::string fixed(double value, const char* unit, int decimals = 1) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f %s", decimals, value, unit);
    return text;
}

std::string name(int index) {
    char text[32];
    std::snprintf(text, sizeof text, "bench.svc%06d", index);
    return text;
}

// Hosts names [from, to) in zorlek-echo processes of at most 20,000 names each, started
// together; null entries when one did not get ready.
void host(test::Registry& registry, int from, int to,
          std::vector<std::unique_ptr<test::Process>>* hosts) {
    std::vector<std::unique_ptr<test::Process>> started;
    for (int at = from; at < to; at += 20000) {
        std::vector<std::string> argv = {test::binPath("zorlek-echo")};
        for (int i = at; i < to && i < at + 20000; ++i) argv.push_back(name(i));
        started.push_back(test::Process::start(argv, registry.env()));
    }
    for (auto& process : started) {
        if (process && !process->waitForLine("ready", 180000)) process.reset();
        hosts->push_back(std::move(process));
    }
}

struct Listing {
    double micros;
    double cpuMicros;
};

Listing list(int runs) {
    Pair got = runAlone({test::binPath("zorlek"), "list"}, runs);
    return {got.ok ? got.a : -1, got.aCpu};
}

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

// The processor time the registry and the hosts have used so far.
double serverCpu(test::Registry& registry, const std::vector<std::unique_ptr<test::Process>>& hosts,
                 double* hostsCpu) {
    *hostsCpu = 0;
    for (const auto& process : hosts) {
        if (process) *hostsCpu += cpuMicros(process->pid());
    }
    return cpuMicros(registry.process()->pid());
}

void wholeProcessRows(const std::string& empty) {
    test::Registry registry;
    auto echo = registry.startEcho({"bench.echo"});
    if (!registry.ready() || !echo) return row("whole process rows", "no registry", "", -1, "");
    setenv("ZORLEK_REGISTRY", registry.socketPath().c_str(), 1);
    const std::string tool = test::binPath("zorlek");
    Pair check = runPaired({tool, "check", "bench.echo"}, {empty}, 301);
    row("`check`, whole process", fixed(check.a, "µs", 0),
        "empty C++ program " + fixed(check.b, "µs", 0), check.ok ? check.ratio : -1, "≤ 1.1");
    Pair call = runPaired({tool, "call", "bench.echo", "1", "i32", "7"}, {empty}, 301);
    row("`call`, whole process", fixed(call.a, "µs", 0),
        "empty C++ program " + fixed(call.b, "µs", 0), call.ok ? call.ratio : -1, "≤ 1.1");
}

// The rows against busctl, with `peer` holding 1,000 names and the registry in the
// environment holding bench.svc000000 .. bench.svc000999.
void busctlRows(DbusPeer& peer, const std::string& tool) {
    const std::string address = "--address=" + peer.address();
    Pair list = runPaired({tool, "list"}, {"/usr/bin/busctl", address, "list", "--no-pager"}, 11);
    row("`list`, 1,000 names", fixed(list.a / 1000, "ms"),
        "`busctl list`, 1,000 names: " + fixed(list.b / 1000, "ms"), list.ok ? list.ratio : -1,
        "≤ 0.05");
    Pair call = runPaired({tool, "call", name(0), "1", "i32", "7"},
                          {"/usr/bin/busctl", address, "call", "com.example.svc0",
                           "/com/example/Echo", "com.example.Echo", "Echo", "ay", "1", "7"},
                          101);
    row("`call`, whole process", fixed(call.a, "µs", 0), "`busctl call`: " + fixed(call.b, "µs", 0),
        call.ok ? call.ratio : -1, "keep (0.21)");
}

void listRows(const std::string& empty) {
    test::Registry registry;
    if (!registry.ready()) return row("list rows", "no registry", "", -1, "");
    setenv("ZORLEK_REGISTRY", registry.socketPath().c_str(), 1);
    const std::string tool = test::binPath("zorlek");
    Listing none = list(21);
    long registryBaseKb = residentKb(registry.process()->pid());
    std::vector<std::unique_ptr<test::Process>> hosts;
    host(registry, 0, 1000, &hosts);
    std::string missing = DbusPeer::missing();
    DbusPeer peer;
    if (!missing.empty()) {
        std::printf("| `busctl` rows | skipped: %s is not installed | | | |\n", missing.c_str());
    } else if (!peer.start(1000)) {
        std::printf("| `busctl` rows | skipped: the D-Bus fixture did not start | | | |\n");
    } else {
        busctlRows(peer, tool);
        peer.stop();
    }
    Listing thousand = list(11);
    double perName1k = (thousand.micros - none.micros) / 1000;
    row("`list`, cost per name, 1,000 names", fixed(perName1k, "µs"),
        "`list` of 0 names: " + fixed(none.micros / 1000, "ms", 2), 1.0, "");
    host(registry, 1000, 10000, &hosts);
    double hostsBefore, hostsAfter;
    double registryBefore = serverCpu(registry, hosts, &hostsBefore);
    Listing tenThousand = list(5);
    double registryAfter = serverCpu(registry, hosts, &hostsAfter);
    double perName10k = (tenThousand.micros - none.micros) / 10000;
    row("`list`, cost per name, 10,000 names", fixed(perName10k, "µs"), "at 1,000 names",
        perName10k / perName1k, "");
    // Where the time goes: processor time per name of each party, against the wall time
    // per name (the ratio is how many processors were busy on average).
    double toolCpu = (tenThousand.cpuMicros - none.cpuMicros) / 10000;
    double registryCpu = (registryAfter - registryBefore) / 5 / 10000;
    double hostsCpu = (hostsAfter - hostsBefore) / 5 / 10000;
    double cpu = toolCpu + registryCpu + hostsCpu;
    row("`list`, processor time per name at 10,000 names (tool " + fixed(toolCpu, "µs") +
            ", registry " + fixed(registryCpu, "µs") + ", hosts " + fixed(hostsCpu, "µs") + ")",
        fixed(cpu, "µs"), "wall time per name: " + fixed(perName10k, "µs"), cpu / perName10k, "");
    host(registry, 10000, 100000, &hosts);
    for (const auto& process : hosts) {
        if (!process) return row("100,000 names", "a host did not get ready", "", -1, "");
    }
    Listing hundredThousand = list(3);
    double perName100k = (hundredThousand.micros - none.micros) / 100000;
    row("`list`, cost per name, 100,000 names", fixed(perName100k, "µs"), "at 1,000 names",
        perName100k / perName1k, "≤ 1.15");
    long toolKb = peakKb({tool, "list"}, registry.env());
    long emptyKb = peakKb({empty}, {});
    row("`list` of 100,000 names, the tool's peak resident memory", fixed(toolKb / 1024.0, "MiB"),
        "empty C++ program: " + fixed(emptyKb / 1024.0, "MiB"),
        toolKb > 0 && emptyKb > 0 ? static_cast<double>(toolKb) / emptyKb : -1, "≤ 16 MiB");
    long registryKb = residentKb(registry.process()->pid());
    // Each name is held as its UTF-16 code units: 15 of them here.
    double perName = (registryKb - registryBaseKb) * 1024.0 / 100000 - 30;
    row("registry memory per name at 100,000 names, beyond the name", fixed(perName, "B", 0),
        "the name: 30 B", perName / 30, "≤ 200 B");
}

void roundTripRows(const char* cores, std::initializer_list<int> cpus, int count) {
    if (!pinTo(cpus)) return row(std::string("round trips on ") + cores, "cannot pin", "", -1, "");
    RoundTrips trips = measureRoundTrips(count);
    unpin();
    std::string floor = "socket pair, " + std::string(cores) + ": " + fixed(trips.floor, "µs");
    row(std::string("proxy call, ") + cores, fixed(trips.proxy, "µs"), floor,
        trips.proxy > 0 && trips.floor > 0 ? trips.proxy / trips.floor : -1, "≤ 1.15");
    row(std::string("lookup, ") + cores, fixed(trips.lookup, "µs"), floor,
        trips.lookup > 0 && trips.floor > 0 ? trips.lookup / trips.floor : -1, "≤ 2");
    // What bounds the lookup: the kernel's own work for a channel handed out.
    row(std::string("lookup, ") + cores + ", against the kernel's part of it",
        fixed(trips.lookup, "µs"),
        "socket pair whose answer hands out a new socket pair: " + fixed(trips.lookupFloor, "µs"),
        trips.lookup > 0 && trips.lookupFloor > 0 ? trips.lookup / trips.lookupFloor : -1, "");
}

void throughputRows() {
    test::Registry registry;
    auto echo = registry.startEcho({"bench.echo"});
    if (!registry.ready() || !echo) return row("lookups per second", "no registry", "", -1, "");
    double floorMicros = socketPairMicros(20000, 64);
    std::string floor = "socket-pair round trips: " + fixed(1e6 / floorMicros, "/s", 0);
    for (int clients : {1, 4, 16}) {
        long failed = 0;
        double rate = lookupsPerSecond(registry.socketPath(), "bench.echo", clients, 1000, &failed);
        std::string measured = fixed(rate, "/s", 0);
        if (failed > 0) measured += " (" + std::to_string(failed) + " found nothing)";
        row("lookups per second, " + std::to_string(clients) + " client" + (clients > 1 ? "s" : ""),
            measured, floor, rate * floorMicros / 1e6, clients == 4 ? "≥ 50,000/s" : "");
    }
}

}  // namespace
}  // namespace zorlek::bench

int main() {
    using namespace zorlek::bench;
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
    listRows(empty);
    wholeProcessRows(empty);
    roundTripRows("one core", {0}, 20000);
    if (processorsAvailable() >= 2) roundTripRows("two cores", {0, 1}, 20000);
    throughputRows();
    std::printf("\nwhole run: %.0f s\n", (nowMicros() - start) / 1e6);
    return 0;
}
