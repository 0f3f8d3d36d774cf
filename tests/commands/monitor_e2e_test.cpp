// SPDX-License-Identifier: Apache-2.0
// The built zorlek monitor against a real registry and real services, called from this
// process: the lines it prints, how a count, a timeout, SIGINT and SIGTERM end it (status
// 0), a service that goes (status 10), a service waited for, and a monitor stopped
// (SIGSTOP) while the service answers 100,000 calls in flat memory, told of what it missed
// once it reads again.
// Every wait is bounded; the registry and the services stop with the test.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "harness/harness.h"
#include "platform/ipc/registry_client.h"
#include "tests/integration/reliability_support.h"

namespace zorlek::test {
namespace {

// Calls to one service from this process, as a client would make them: code 5 with one
// 32-bit integer, which zorlek-echo answers with the code and the request (8 bytes).
class Caller {
  public:
    Caller(const Registry& registry, const char* name) {
        client_ = RegistryClient::connect(registry.socketPath().c_str());
        if (client_) client_->lookup(String16(name), &object_);
    }
    bool ready() const { return object_ != nullptr; }
    status_t call() {
        Parcel request, reply;
        request.writeInt32(7);
        return object_->sendTransaction(5, request, &reply, 0);
    }

  private:
    sp<RegistryClient> client_;
    sp<IBinder> object_;
};

std::unique_ptr<Process> startMonitor(const Registry& registry, std::vector<std::string> args) {
    args.insert(args.begin(), {binPath("zorlek"), "monitor"});
    return Process::start(args, registry.env());
}

// Takes in what the monitor wrote so far, waiting at most `ms` for more.
void takeOutput(Process& monitor, int ms) {
    monitor.waitForLine("\x01 no such line", ms);
}

// Calls until `done` holds (looking at the monitor's output after each call), at most
// `most` calls; whether it held.
template <typename Done>
bool callUntil(Caller& caller, Process& monitor, int most, Done done) {
    for (int i = 0; i < most; ++i) {
        if (caller.call() != OK) return false;
        takeOutput(monitor, 5);
        if (done()) return true;
    }
    return false;
}

size_t lines(const std::string& text) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

// A line of a call of Caller's: its pid and uid as the kernel gave them.
std::regex callLine(const char* service) {
    return std::regex("\\d\\d:\\d\\d:\\d\\d\\.\\d{6} pid " + std::to_string(getpid()) + " uid " +
                      std::to_string(getuid()) + " -> " + service + " 5 ok 4 B -> 8 B \\d+ us");
}

TEST(MonitorE2E, CountEndsTheWatchWithStatusZero) {
    Registry registry;
    ASSERT_TRUE(registry.ready());
    auto echo = registry.startEcho({"e"});
    ASSERT_TRUE(echo);
    Caller caller(registry, "e");
    ASSERT_TRUE(caller.ready());
    auto monitor = startMonitor(registry, {"--count", "3", "e"});
    ASSERT_TRUE(monitor);
    ASSERT_TRUE(callUntil(caller, *monitor, 2000, [&] { return !monitor->running(); }));
    EXPECT_EQ(monitor->wait(10000), 0) << monitor->errText();
    takeOutput(*monitor, 1000);
    const std::string& out = monitor->outText();
    ASSERT_EQ(lines(out), 3u) << out;
    for (size_t at = 0, nl; (nl = out.find('\n', at)) != std::string::npos; at = nl + 1)
        EXPECT_TRUE(std::regex_match(out.substr(at, nl - at), callLine("e"))) << out;
    EXPECT_EQ(monitor->errText(), "");
}

TEST(MonitorE2E, TimeoutEndsTheWatchWithStatusZero) {
    Registry registry;
    ASSERT_TRUE(registry.ready());
    auto echo = registry.startEcho({"e"});
    ASSERT_TRUE(echo);
    RunResult got = registry.zorlek({"monitor", "--timeout", "0.2", "e"});
    EXPECT_FALSE(got.timedOut);
    EXPECT_EQ(got.exitCode, 0);
    EXPECT_EQ(got.out + got.err, "");
    got = registry.zorlek({"monitor", "--timeout", "0.2", "nope"});
    EXPECT_EQ(got.err, "zorlek: Service nope does not exist\n");
    EXPECT_EQ(got.exitCode, 10);
}

TEST(MonitorE2E, SignalsEndTheWatchWithStatusZeroAndTheGoneServiceWithTen) {
    Registry registry;
    ASSERT_TRUE(registry.ready());
    auto echo = registry.startEcho({"e"});
    ASSERT_TRUE(echo);
    Caller caller(registry, "e");
    ASSERT_TRUE(caller.ready());
    for (int signal : {SIGINT, SIGTERM, 0}) {
        auto monitor = startMonitor(registry, {"e"});
        ASSERT_TRUE(monitor);
        // Once a call shows, the tap is there and the monitor reads it.
        ASSERT_TRUE(callUntil(caller, *monitor, 2000, [&] {
            return lines(monitor->outText()) > 0;
        })) << monitor->errText();
        if (signal != 0) {
            EXPECT_EQ(monitor->stop(signal, 5000), 0) << signal;
            continue;
        }
        // The service goes.
        EXPECT_EQ(echo->stop(SIGTERM), 0);
        EXPECT_EQ(monitor->wait(10000), 10);
        EXPECT_EQ(monitor->errText(), "zorlek: e is gone\n");
    }
}

TEST(MonitorE2E, WaitsForAServiceNotRegisteredYet) {
    Registry registry;
    ASSERT_TRUE(registry.ready());
    auto monitor = startMonitor(registry, {"--wait", "--count", "1", "late"});
    ASSERT_TRUE(monitor);
    auto echo = registry.startEcho({"late"});
    ASSERT_TRUE(echo);
    Caller caller(registry, "late");
    ASSERT_TRUE(caller.ready());
    ASSERT_TRUE(callUntil(caller, *monitor, 2000, [&] { return !monitor->running(); }));
    EXPECT_EQ(monitor->wait(10000), 0) << monitor->errText();
    takeOutput(*monitor, 1000);
    EXPECT_EQ(lines(monitor->outText()), 1u) << monitor->outText();
}

TEST(MonitorE2E, AStoppedMonitorCostsTheServiceNothingAndIsToldWhatItMissed) {
    Registry registry;
    ASSERT_TRUE(registry.ready());
    auto echo = registry.startEcho({"e"});
    ASSERT_TRUE(echo);
    Caller caller(registry, "e");
    ASSERT_TRUE(caller.ready());
    auto monitor = startMonitor(registry, {"e"});
    ASSERT_TRUE(monitor);
    ASSERT_TRUE(callUntil(caller, *monitor, 2000, [&] { return lines(monitor->outText()) > 0; }));
    ASSERT_EQ(::kill(monitor->pid(), SIGSTOP), 0);
    // Far more calls than a tap holds; each answered at once, and the host's memory flat
    // once the tap's queue and the socket are full (within the first fifth).
    const int kCalls = scaled(100000);
    int answered = 0;
    for (int i = 0; i < kCalls / 5; ++i) answered += caller.call() == OK;
    Footprint filled = quietFootprintOf(echo->pid());
    for (int i = kCalls / 5; i < kCalls; ++i) answered += caller.call() == OK;
    EXPECT_EQ(answered, kCalls);
    Footprint after = quietFootprintOf(echo->pid());
    if (!kSanitized) {
        EXPECT_LE(after.rssKb, filled.rssKb + kRssSlackKb) << "the host's memory";
    }
    EXPECT_EQ(after.fds, filled.fds);
    ASSERT_EQ(::kill(monitor->pid(), SIGCONT), 0);
    std::regex told("zorlek: (\\d+) calls not shown\n");
    std::smatch match;
    std::string err;
    callUntil(caller, *monitor, 2000, [&] {
        err = monitor->errText();
        return std::regex_search(err, match, told);
    });
    ASSERT_FALSE(match.empty()) << err;
    uint64_t missed = std::stoull(match[1].str());
    RecordProperty("missed", std::to_string(missed));
    EXPECT_GT(missed, 0u);
    EXPECT_LE(missed, static_cast<uint64_t>(kCalls));
    EXPECT_EQ(monitor->stop(SIGTERM, 5000), 0);
    takeOutput(*monitor, 1000);
    // What was shown and what was missed together are no more than the calls made.
    EXPECT_LE(lines(monitor->outText()) + missed, static_cast<uint64_t>(kCalls + 4000));
}

}  // namespace
}  // namespace zorlek::test
