// SPDX-License-Identifier: Apache-2.0
#include "bench/operator_rows.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>

#include "bench/measure.h"
#include "bench/table.h"
#include "harness/harness.h"
#include "platform/hosting.h"
#include "tests/support/wait.h"

extern char** environ;

namespace zorlek::bench {
namespace {

class Nothing : public LocalObject {
  public:
    Nothing() : LocalObject(String16("bench.INothing")) {}
};

}  // namespace

void statusRow() {
    test::Registry registry;
    auto echo = registry.startEcho({"bench.echo"});
    if (!registry.ready() || !echo) return row("`status`", "no registry", "", -1, "");
    setenv("ZORLEK_REGISTRY", registry.socketPath().c_str(), 1);
    const std::string tool = test::binPath("zorlek");
    Pair status = runPaired({tool, "status", "bench.echo"}, {tool, "check", "bench.echo"}, 301);
    row("`status`, whole process", fixed(status.a, "µs", 0), "`check` " + fixed(status.b, "µs", 0),
        status.ok ? status.ratio : -1, "≤ 1.2");
}

void waitRow() {
    test::Registry registry;
    if (!registry.ready()) return row("`wait`", "no registry", "", -1, "");
    setenv("ZORLEK_REGISTRY", registry.socketPath().c_str(), 1);
    const std::string tool = test::binPath("zorlek");
    // Bounded, so that a round that fails leaves no tool waiting behind it.
    const char* argv[] = {tool.c_str(), "wait", "--timeout", "10", "bench.waited", nullptr};
    // Ends a round that failed: the tool is stopped and reaped.
    auto failed = [](pid_t pid, const char* why) {
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
        row("`wait`", why, "", -1, "");
    };
    std::vector<double> ends, registrations;
    for (int i = 0; i < 100; ++i) {
        pid_t pid;
        if (posix_spawn(&pid, argv[0], nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
            return row("`wait`", "could not start the tool", "", -1, "");
        }
        // Asleep once its wait is with the registry (on a busy machine it may be seen late;
        // the name registered before it asks is answered at once, which is timed alike).
        if (!test::waitUntilAsleep(pid, 10000)) return failed(pid, "the tool did not wait");
        ServiceHost host;
        if (host.connect() != OK) return failed(pid, "the host did not connect");
        double start = nowMicros();
        status_t added = host.addService(String16("bench.waited"), make<Nothing>());
        registrations.push_back(nowMicros() - start);
        if (added != OK) return failed(pid, "the registration failed");
        int waitStatus = 0;
        if (waitpid(pid, &waitStatus, 0) != pid || waitStatus != 0) {
            return row("`wait`", "the wait did not end well", "", -1, "");
        }
        ends.push_back(nowMicros() - start);
    }
    double end = median(ends);
    row("`wait`, from the registration to the tool's end (median of 100)", fixed(end, "µs", 0),
        "the registration's own round trip " + fixed(median(registrations), "µs", 0), end / 1000,
        "≤ 1 (1 ms)");
}

}  // namespace zorlek::bench
