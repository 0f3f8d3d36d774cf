// SPDX-License-Identifier: Apache-2.0
#include "bench/channel_rows.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "bench/dbus_peer.h"
#include "bench/measure.h"
#include "bench/table.h"
#include "platform/ipc.h"
#include "platform/ipc/registry_client.h"

extern char** environ;

namespace zorlek::bench {
namespace {

constexpr const char* kStrace = "/usr/bin/strace";

using Hosts = std::vector<std::unique_ptr<test::Process>>;

// A registry holding bench.svc000000 .. 000999 on `hostCount` hosts.
struct Spread {
    explicit Spread(int hostCount, const std::vector<std::string>& options = {}) {
        host(registry, 0, 1000, &hosts, 1000 / hostCount, options);
    }
    bool ready() const {
        for (const auto& process : hosts) {
            if (!process) return false;
        }
        return registry.ready();
    }
    test::Registry registry;
    Hosts hosts;
};

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The calls of strace's summary in `path`; -1 when there is none.
long totalCalls(const std::string& path) {
    std::istringstream lines(slurp(path));
    std::string line;
    while (std::getline(lines, line)) {
        if (line.find(" total") == std::string::npos) continue;
        std::istringstream words(line);
        std::string percent, seconds, perCall;
        long calls = -1;
        words >> percent >> seconds >> perCall >> calls;
        return calls;
    }
    return -1;
}

// Starts strace counting the system calls of `pids` (and what they start) into `out`,
// and waits until it has attached to them all; its pid, or -1.
pid_t countCallsOf(const std::vector<pid_t>& pids, const std::string& out,
                   const std::string& messages) {
    Argv args = {kStrace, "-c", "-f", "-o", out};
    for (pid_t pid : pids) {
        args.push_back("-p");
        args.push_back(std::to_string(pid));
    }
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, messages.c_str(), O_WRONLY | O_CREAT, 0600);
    pid_t strace = -1;
    int rc = posix_spawn(&strace, kStrace, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    for (int tries = 0; tries < 1000; ++tries) {
        std::string said = slurp(messages);
        size_t attached = 0;
        for (size_t at = said.find("attached"); at != std::string::npos;
             at = said.find("attached", at + 1)) {
            ++attached;
        }
        if (attached >= pids.size()) return strace;
        usleep(10 * 1000);
    }
    kill(strace, SIGKILL);
    waitpid(strace, nullptr, 0);
    return -1;
}

// The system calls of one `zorlek list` against `spread`, summed over the tool, the
// registry and the hosts; -1 when they could not be counted.
long listCalls(Spread& spread) {
    test::TempDir dir;
    std::vector<pid_t> servers = {spread.registry.process()->pid()};
    for (const auto& process : spread.hosts) servers.push_back(process->pid());
    pid_t strace = countCallsOf(servers, dir.path() + "/servers", dir.path() + "/attached");
    if (strace < 0) return -1;
    setenv("ZORLEK_REGISTRY", spread.registry.socketPath().c_str(), 1);
    Run run;
    bool listed = runTimed(
        {kStrace, "-c", "-f", "-o", dir.path() + "/tool", test::binPath("zorlek"), "list"}, &run);
    kill(strace, SIGINT);
    waitpid(strace, nullptr, 0);
    long tool = totalCalls(dir.path() + "/tool");
    long others = totalCalls(dir.path() + "/servers");
    return listed && tool > 0 && others > 0 ? tool + others : -1;
}

}  // namespace

void manyHostRows(DbusPeer* peer) {
    Spread one(1), hundred(100);
    if (!one.ready() || !hundred.ready())
        return row("many hosts", "a host did not start", "", -1, "");
    const std::string tool = test::binPath("zorlek");
    if (peer != nullptr) {
        setenv("ZORLEK_REGISTRY", hundred.registry.socketPath().c_str(), 1);
        Pair list = runPaired(
            {tool, "list"},
            {"/usr/bin/busctl", "--address=" + peer->address(), "list", "--no-pager"}, 11);
        row("`list`, 1,000 names on 100 hosts", fixed(list.a / 1000, "ms"),
            "`busctl list`, 1,000 names: " + fixed(list.b / 1000, "ms"), list.ok ? list.ratio : -1,
            "≤ 0.05");
    }
    if (access(kStrace, X_OK) != 0) {
        std::printf("| system calls per name | skipped: strace is not installed | | | |\n");
        return;
    }
    for (Spread* spread : {&one, &hundred}) {
        long calls = listCalls(*spread);
        bool single = spread == &one;
        row(std::string("`list`, system calls per name, 1,000 names on ") +
                (single ? "one host" : "100 hosts") + " (tool, registry and hosts)",
            fixed(calls / 1000.0, "", 2), "one per name", calls > 0 ? calls / 1000.0 : -1,
            single ? "≤ 1.0" : "≤ 3.0");
    }
}

void silentServicesRow() {
    // Ten hosts of 100 names, none of which ever answers.
    Spread silent(10, {"--hang"});
    if (!silent.ready()) return row("silent services", "a host did not start", "", -1, "");
    setenv("ZORLEK_REGISTRY", silent.registry.socketPath().c_str(), 1);
    setenv("ZORLEK_CALL_TIMEOUT_MS", "1000", 1);
    Pair list = runAlone({test::binPath("zorlek"), "list"}, 3);
    unsetenv("ZORLEK_CALL_TIMEOUT_MS");
    row("`list` of 1,000 names, every one silent, at a 1 s call timeout",
        fixed(list.a / 1e6, "s", 2), "the call timeout: 1 s", list.ok ? list.a / 1e6 : -1, "≤ 1.3");
}

void descriptorRow() {
    test::Registry registry;
    Hosts hosts;
    host(registry, 0, 100000, &hosts, 10000);
    for (const auto& process : hosts) {
        if (!process) return row("descriptors", "a host did not start", "", -1, "");
    }
    std::vector<String16> names;
    for (int i = 0; i < 100000; ++i) names.push_back(String16(name(i).c_str()));
    int before = test::openDescriptors();
    sp<RegistryClient> client = RegistryClient::connect(registry.socketPath().c_str());
    std::vector<sp<IBinder>> proxies(names.size());
    size_t answered = 0;
    bool all =
        client &&
        client->lookupServices(names.data(), names.size(), proxies.data(), &answered) == OK &&
        std::all_of(proxies.begin(), proxies.end(), [](const auto& p) { return p != nullptr; });
    // A client of its own starts with its three standard streams.
    int held = 3 + test::openDescriptors() - before;
    row("descriptors of a client holding 100,000 proxies to the objects of 10 hosts",
        std::to_string(held), "the target: 16", all ? held / 16.0 : -1, "≤ 16");
}

}  // namespace zorlek::bench
