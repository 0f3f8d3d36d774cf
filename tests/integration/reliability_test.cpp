// SPDX-License-Identifier: Apache-2.0
// The platform under load and under faults, between real processes: many clients at once,
// services and the registry killed at the worst moment, services started and killed by
// the hundred. Each test is bounded in count and time, and checks that nothing was lost:
// every reply is compared byte for byte, and the registry's memory and descriptors come
// back to where they were.

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <mutex>

#include "tests/integration/reliability_support.h"

namespace zorlek::test {
namespace {

// Client threads that run until stopped, with what they did: how often, and the first
// thing that went wrong. The threads are always joined, also when a test fails half-way.
struct Crowd {
    std::atomic<int64_t> calls{0};
    std::atomic<int64_t> failures{0};
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::string first;
    std::vector<std::thread> threads;

    ~Crowd() { finish(); }
    // Runs `body(i)` on `count` threads; bodies loop while `running()`.
    void start(int count, const std::function<void(int)>& body) {
        for (int i = 0; i < count; ++i) threads.emplace_back(body, i);
    }
    bool running() const { return !stop.load(); }
    void finish() {
        stop = true;
        for (std::thread& thread : threads) thread.join();
        threads.clear();
    }
    void fail(const std::string& what) {
        std::lock_guard<std::mutex> lock(mutex);
        if (failures++ == 0) first = what;
    }
    // Looks up one of `names` at random; null, with the failure noted, when that fails.
    sp<IBinder> lookUpAny(const sp<RegistryClient>& client, const Names& names, Random& random) {
        const std::string& name = names[random.below(names.size())];
        sp<IBinder> object = client ? client->lookupService(String16(name.c_str())) : nullptr;
        if (!object) fail("lookup of " + name + " failed");
        return object;
    }
};

// True when `registry` lists exactly `names`, and each looks up to an object that answers.
bool everyNameServes(const Registry& registry, const Names& names) {
    sp<RegistryClient> client = clientOf(registry, 1000);
    if (!client || asUtf8(client->listServiceNames()) != names) return false;
    Random random{1};
    for (const std::string& name : names) {
        sp<IBinder> object = client->lookupService(String16(name.c_str()));
        if (!object || !echoCall(object, random, 1).empty()) return false;
    }
    return true;
}

TEST_F(Reliability, LoadOf200ClientsLosesNothing) {
    ASSERT_TRUE(startServices("load", 4, 3));
    constexpr int kClients = 200;
    // Calls each client makes: together about a second of load, a third under the sanitizers.
    constexpr int64_t kCalls = scaled(300);
    std::atomic<int64_t> lookups{0};
    std::atomic<int> served{0};
    std::atomic<int> ended{0};
    Crowd crowd;
    auto start = Clock::now();
    crowd.start(kClients, [&](int t) {
        struct Ends {
            std::atomic<int>& count;
            ~Ends() { ++count; }
        } ends{ended};
        Random random{static_cast<uint64_t>(t)};
        sp<RegistryClient> client = clientOf(registry);
        sp<IBinder> object;
        int64_t mine = 0;
        while (crowd.running() && mine < kCalls) {
            size_t pick = random.below(32);
            if (!object || pick == 0) {
                // A new channel, the old one dropped.
                ++lookups;
                if (!(object = crowd.lookUpAny(client, names, random))) return;
            } else if (pick == 1 && client->lookupService(String16("load.absent"))) {
                return crowd.fail("a name nobody holds was found");
            } else if (pick == 2 && random.below(16) == 0 &&
                       asUtf8(client->listServiceNames()) != names) {
                return crowd.fail("a listing that is not the registered names");
            }
            // Mostly small requests, now and then one of up to 16 KiB.
            size_t words = random.below(16) == 0 ? random.below(4096) : random.below(32);
            std::string wrong = echoCall(object, random, words);
            if (!wrong.empty()) return crowd.fail(wrong);
            ++mine;
        }
        crowd.calls += mine;
        if (mine == kCalls) ++served;
    });
    // A guard against a hang: the load takes a few seconds, on a busy machine too.
    EXPECT_TRUE(waitUntil([&] { return ended.load() == kClients; }, 60000));
    crowd.finish();
    int64_t took = msSince(start);
    EXPECT_EQ(crowd.failures.load(), 0) << crowd.first;
    EXPECT_EQ(served.load(), kClients) << "every client was served to the end";
    EXPECT_EQ(crowd.calls.load(), kClients * kCalls);
    EXPECT_EQ(listed(registry), names);
    std::printf("load: %d clients, %lld calls and %lld lookups in %lld ms, %lld failures\n",
                kClients, static_cast<long long>(crowd.calls.load()),
                static_cast<long long>(lookups.load()), static_cast<long long>(took),
                static_cast<long long>(crowd.failures.load()));
}

TEST_F(Reliability, AServiceKilledMidCallFailsItsCallersAtOnce) {
    auto hung = registry.startEcho({"--hang-calls", "kill.hung"});
    auto idle = registry.startEcho({"kill.idle"});
    auto bystander = registry.startEcho({"kill.other"});
    ASSERT_TRUE(hung && idle && bystander);
    // Each wait may last 10 s, so a failure that comes sooner is the death, not a timeout.
    constexpr int kCallers = 8;
    // A client per caller: a channel, shared by the objects of one client, is used from one
    // thread at a time.
    std::vector<sp<RegistryClient>> clients;
    std::vector<sp<IBinder>> waiting, between;
    Random random{7};
    for (int i = 0; i < kCallers; ++i) {
        clients.push_back(clientOf(registry, 10000));
        ASSERT_TRUE(clients.back());
        waiting.push_back(clients.back()->lookupService(String16("kill.hung")));
        between.push_back(clients.back()->lookupService(String16("kill.idle")));
        ASSERT_TRUE(waiting.back() && between.back());
        ASSERT_EQ(echoCall(between.back(), random, i), "");
    }
    std::vector<status_t> statuses(kCallers, 1);
    std::vector<size_t> replySizes(kCallers, 0);
    std::vector<Clock::time_point> ended(kCallers);
    std::vector<std::atomic<pid_t>> threads(kCallers);
    std::vector<std::thread> callers;
    for (int i = 0; i < kCallers; ++i) {
        callers.emplace_back([&, i] {
            Parcel request, reply;
            // One caller is in the middle of a large request.
            ParcelAccess::resizeForReceive(request, i == 0 ? kMaxParcelSize - 4 : 4 * i);
            threads[i] = ::gettid();
            statuses[i] = waiting[i]->sendTransaction(1, request, &reply, 0);
            replySizes[i] = reply.dataSize();
            ended[i] = Clock::now();
        });
    }
    // Every caller is in its call, asleep waiting for the answer.
    for (std::atomic<pid_t>& thread : threads) {
        EXPECT_TRUE(waitUntil([&] { return thread.load() != 0; }, 5000));
        EXPECT_TRUE(waitUntilAsleep(::getpid(), 5000, thread.load()));
    }
    auto killed = Clock::now();
    hung->stop(SIGKILL);
    idle->stop(SIGKILL);
    for (std::thread& thread : callers) thread.join();
    int64_t slowest = 0;
    for (int i = 0; i < kCallers; ++i) {
        EXPECT_EQ(statuses[i], -EPIPE) << "caller " << i;
        EXPECT_EQ(replySizes[i], 0u);
        EXPECT_GE(ended[i], killed) << "caller " << i << " ended before the death";
        slowest = std::max<int64_t>(
            slowest,
            std::chrono::duration_cast<std::chrono::milliseconds>(ended[i] - killed).count());
        // Between calls: the next call fails the same way, at once.
        auto start = Clock::now();
        Parcel reply;
        EXPECT_EQ(between[i]->sendTransaction(2, Parcel(), &reply, 0), -EPIPE) << "caller " << i;
        EXPECT_LT(msSince(start), 5000) << "a guard: a death missed would wait out the 10 s";
    }
    EXPECT_LT(slowest, 5000) << "a guard: a death missed would wait out the 10 s";
    // The registry and the other service lost nothing.
    sp<RegistryClient> client = clients.front();
    EXPECT_EQ(asUtf8(client->listServiceNames()), Names{"kill.other"});
    sp<IBinder> other = client->lookupService(String16("kill.other"));
    ASSERT_TRUE(other);
    EXPECT_EQ(echoCall(other, random, 3), "");
    std::printf(
        "kill -9 mid-call: %d waiting callers failed with -EPIPE, the last %lld ms "
        "after the kill\n",
        kCallers, static_cast<long long>(slowest));
}

TEST_F(Reliability, RegistryKilledUnderLoadComesBackWithEveryService) {
    ASSERT_TRUE(startServices("restart", 4, 2));
    constexpr int kClients = 50;
    std::atomic<int64_t> callsWhileDown{0};
    std::atomic<int> holding{0};
    std::atomic<bool> down{false};
    Crowd crowd;
    crowd.start(kClients, [&](int t) {
        Random random{static_cast<uint64_t>(1000 + t)};
        sp<RegistryClient> client = clientOf(registry);
        // Channels taken before the registry goes, kept through its absence.
        sp<IBinder> held[2];
        for (sp<IBinder>& object : held) {
            if (!(object = crowd.lookUpAny(client, names, random))) return;
        }
        ++holding;
        for (int i = 0; crowd.running(); ++i) {
            bool wasDown = down.load();
            std::string wrong = echoCall(held[i % 2], random, random.below(64));
            if (!wrong.empty()) return crowd.fail(wrong);
            ++crowd.calls;
            if (wasDown && down.load()) ++callsWhileDown;
        }
    });
    ASSERT_TRUE(waitUntil([&] { return holding.load() == kClients; }, 10000)) << crowd.first;
    // The load under way: calls that some clients made.
    EXPECT_TRUE(waitUntil([&] { return crowd.calls.load() >= kClients; }, 10000));

    registry.process()->stop(SIGKILL);
    down = true;
    // Down until the clients have made calls while it was.
    bool callsGoOn = waitUntil([&] { return callsWhileDown.load() >= kClients; }, 10000);
    down = false;
    auto again = Process::start({binPath("zorlek-registry")}, registry.env());
    bool restarted = again && waitForSocket(registry.socketPath(), 5000);
    auto start = Clock::now();
    // A guard against a hang: with the pause between tries capped at 250 ms, the names are
    // back well within a second.
    bool back = restarted && waitUntil([&] { return everyNameServes(registry, names); }, 10000);
    int64_t backAfter = msSince(start);
    // The load goes on after the restart.
    int64_t callsBack = crowd.calls.load();
    EXPECT_TRUE(waitUntil([&] { return crowd.calls.load() >= callsBack + kClients; }, 10000));
    crowd.finish();
    ASSERT_TRUE(restarted);
    EXPECT_TRUE(back);
    EXPECT_EQ(crowd.failures.load(), 0) << crowd.first;
    EXPECT_TRUE(callsGoOn) << "calls over channels already made go on while it is down";
    std::printf(
        "registry kill -9 under load: %d clients, %lld calls (%lld while it was down), "
        "%lld failures; every name back %lld ms after the restart\n",
        kClients, static_cast<long long>(crowd.calls.load()),
        static_cast<long long>(callsWhileDown.load()),
        static_cast<long long>(crowd.failures.load()), static_cast<long long>(backAfter));
}

// Starts and stops `count` zorlek-echo processes on `workers` threads: some killed while
// they start, some once ready with SIGKILL or SIGTERM, some refused a held name. Each step
// is bounded in time. Returns how many were started.
int churn(Registry& registry, int workers, int count, const std::string& prefix) {
    std::atomic<int> started{0};
    std::atomic<int> claimed{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < workers; ++w) {
        threads.emplace_back([&, w] {
            for (int i = 0; claimed++ < count; ++i) {
                std::string name = prefix + "." + std::to_string(w) + "." + std::to_string(i);
                std::vector<std::string> argv = {binPath("zorlek-echo"), name, name + ".b"};
                if (i % 4 == 3) argv.push_back("keep.a");  // held: refused, exits
                auto echo = Process::start(argv, registry.env());
                if (!echo) return;
                ++started;
                if (i % 4 != 0) echo->waitForLine("ready", 5000);
                echo->stop(i % 4 == 2 ? SIGTERM : SIGKILL, 2000);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    return started.load();
}

TEST_F(Reliability, ChurnOfServicesLeavesTheRegistryFlat) {
    auto keeper = registry.startEcho({"keep.a", "keep.b"});
    ASSERT_TRUE(keeper);
    const Names kept = {"keep.a", "keep.b"};
    pid_t pid = registry.process()->pid();
    ASSERT_EQ(churn(registry, 4, scaled(200), "warm"), scaled(200));
    ASSERT_TRUE(waitUntil([&] { return listed(registry) == kept; }, 3000));
    Footprint baseline = quietFootprintOf(pid);

    auto start = Clock::now();
    // Under the sanitizers each start costs far more, so fewer churn.
    constexpr int kChurned = kSanitized ? 300 : 1000;
    int started = churn(registry, 4, kChurned, "churn");
    int64_t took = msSince(start);
    EXPECT_EQ(started, kChurned) << "every one of them started";
    EXPECT_TRUE(waitUntil([&] { return listed(registry) == kept; }, 3000)) << "only the survivors";
    Footprint now;
    EXPECT_TRUE(backTo(pid, baseline, &now))
        << "before: " << describe(baseline) << "; after: " << describe(now);
    sp<RegistryClient> client = clientOf(registry);
    ASSERT_TRUE(client);
    EXPECT_FALSE(client->lookupService(String16("churn.0.1")));
    sp<IBinder> object = client->lookupService(String16("keep.b"));
    ASSERT_TRUE(object);
    Random random{3};
    EXPECT_EQ(echoCall(object, random, 5), "");
    std::printf("churn: %d services started and killed in %lld ms; registry %s before, %s after\n",
                started, static_cast<long long>(took), describe(baseline).c_str(),
                describe(now).c_str());
}

// The tool out of memory wherever it runs out: under address-space limits from too small
// to start to large enough for all, a `call` with a 120,000-character string ends in one of
// four known ways, and never in a crash, a partial dump or the C++ runtime's own words.
// True when the tool, limited to `limit` bytes of address space, runs its cheapest command.
bool startsWithin(long limit) {
    RunResult got = runProgram({"/usr/bin/prlimit", "--core=0", "--as=" + std::to_string(limit),
                                binPath("zorlek"), "version"},
                               {});
    return got.exitCode == 0;
}

TEST_F(Reliability, TheToolOutOfMemoryEndsInAKnownWay) {
    if (kSanitized) GTEST_SKIP() << "the sanitizers reserve more address space than any limit";
    if (::access("/usr/bin/prlimit", X_OK) != 0) GTEST_SKIP() << "no /usr/bin/prlimit";
    ASSERT_TRUE(startServices("oom", 1, 1));
    const std::string text(120000, 'a');
    const RunResult whole = registry.zorlek({"call", "oom.0.0", "1", "s16", text});
    ASSERT_EQ(whole.exitCode, 0) << whole.err;
    std::map<std::string, int> seen;
    for (long limit = 1000000; limit <= 8000000; limit += limit < 4000000 ? 50000 : 1000000) {
        // No core file of the runs that abort.
        RunResult got = runProgram({"/usr/bin/prlimit", "--core=0", "--as=" + std::to_string(limit),
                                    binPath("zorlek"), "call", "oom.0.0", "1", "s16", text},
                                   {"ZORLEK_REGISTRY=" + registry.socketPath()});
        std::string what = "at " + std::to_string(limit) + " bytes";
        std::string outcome = std::to_string(got.exitCode);
        if (got.exitCode == 0) {
            EXPECT_TRUE(got.out == whole.out && got.err.empty()) << what;
        } else if (got.exitCode == 10) {
            EXPECT_EQ(got.out, "Result: Parcel(0 bytes)\n") << what;
            EXPECT_EQ(got.err,
                      "zorlek: Transaction failed with status -12 (Cannot allocate memory)\n")
                << what;
        } else if (got.exitCode == 128 + SIGABRT) {
            EXPECT_EQ(got.out, "") << what;
            EXPECT_EQ(got.err, "zorlek: out of memory\n") << what;
        } else {
            // Too little to be started at all: prlimit's exec (126) or the dynamic loader
            // (127) says so, or the loader itself faults while it maps the program, which
            // then cannot run even `version`.
            bool notStarted = got.exitCode == 126 || got.exitCode == 127 ||
                              !startsWithin(limit);
            EXPECT_TRUE(notStarted) << what << ": " << got.exitCode << " " << got.err;
            EXPECT_EQ(got.out, "") << what;
            outcome = "127";
        }
        ++seen[outcome];
    }
    std::string outcomes;
    for (const auto& [status, count] : seen) outcomes += " " + status + ":" + std::to_string(count);
    std::printf("exit statuses over the limits:%s\n", outcomes.c_str());
    // The sweep reaches both ends: too small to start, large enough for all.
    EXPECT_TRUE(seen.count("127") && seen.count("0")) << outcomes;
}

}  // namespace
}  // namespace zorlek::test
