// SPDX-License-Identifier: Apache-2.0
// The sample ticker between real processes: a client's own listener ticked in order and
// pinged while it waits, the bounds of a subscription, a subscriber that exits dropped, one
// stopped with SIGSTOP costing the ticker a bounded queue while another keeps receiving,
// and the client told when the ticker goes.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "services/sample/limits.h"
#include "tests/integration/ipc_support.h"
#include "tests/integration/reliability_support.h"
#include "ticker.zi.h"

namespace zorlek::test {
namespace {

// The client's listener: keeps the ticks it got, answers a ping with n + 1.
struct Listener : sample::ITickListener::Service {
    status_t tick(int64_t n) override {
        if (ticks.size() < 100000) ticks.push_back(n);
        return OK;
    }
    status_t ping(int32_t n, int32_t* echo) override {
        *echo = n + 1;
        return OK;
    }
    std::vector<int64_t> ticks;
};

struct Told : DeathRecipient {
    void onGone() override { ++count; }
    int count = 0;
};

bool dispatchUntil(const sp<RegistryClient>& client, const std::function<bool()>& done,
                   int timeoutMs = 10000) {
    return waitUntil(
        [&] {
            pollfd p{client->pollDescriptor(), POLLIN, 0};
            ::poll(&p, 1, client->pollTimeoutMs() == 0 ? 0 : 10);
            client->dispatch();
            return done();
        },
        timeoutMs);
}

// A subscriber in a child process: subscribes `listeners` objects of its own with `periodMs`,
// writes the last count to `report`, then exits (`stay` false) or serves until killed.
pid_t forkSubscriber(const Registry& registry, int listeners, int periodMs, bool stay, int report) {
    pid_t pid = ::fork();
    if (pid != 0) return pid;
    sp<RegistryClient> client = clientOf(registry, 2000);
    sample::ITicker::Proxy ticker(client ? client->lookupService(String16("sample.ticker"))
                                         : nullptr);
    std::vector<sp<Listener>> kept;
    int32_t count = -1;
    for (int i = 0; i < listeners; ++i) {
        kept.push_back(make<Listener>());
        if (ticker.subscribe(kept.back(), periodMs, &count) != OK) count = -1;
    }
    (void)!::write(report, &count, sizeof count);
    while (stay) ::pause();
    ::_exit(0);
}

int32_t readReport(int fd) {
    int32_t count = -1;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 10000) != 1 || ::read(fd, &count, sizeof count) != sizeof count) return -1;
    return count;
}

// Kills and reaps a child also when the test fails.
struct Child {
    ~Child() {
        if (pid > 0) ::kill(pid, SIGKILL), ::waitpid(pid, nullptr, 0);
    }
    pid_t pid = -1;
};

// A service's timers fire on the serving loop, in the order of their points, again when armed
// from their own callback, and never once disarmed or destroyed.
TEST_F(Fixture, TimersWakeTheServiceOnItsLoop) {
    ServiceHost host(2000);
    ASSERT_EQ(host.connect(registry.socketPath().c_str()), OK);
    std::vector<char> fired;
    HostTimer never(host, [&] { fired.push_back('n'); });
    auto dropped = std::make_unique<HostTimer>(host, [&] { fired.push_back('d'); });
    HostTimer late(host, [&] { fired.push_back('l'); });
    HostTimer again(host, [&] {
        fired.push_back('a');
        if (fired.size() < 3) return again.armIn(1);
        late.armIn(-5);  // as soon as the loop runs
    });
    HostTimer last(host, [&] { fired.push_back('z'), host.stop(); });
    never.armIn(0);
    never.disarm();
    dropped->armIn(1);
    dropped.reset();
    again.armIn(1);
    last.armIn(200);
    EXPECT_TRUE(again.armed());
    EXPECT_FALSE(never.armed());
    ASSERT_EQ(host.serve(), OK);
    EXPECT_EQ(std::string(fired.begin(), fired.end()), "aaalz");
}

struct TickerFixture : Fixture {
    void SetUp() override {
        Fixture::SetUp();
        process = Process::start({std::string(ZORLEK_SAMPLES_DIR) + "/zorlek-sample-ticker"},
                                 registry.env());
        ASSERT_TRUE(process);
        ASSERT_TRUE(process->waitForLine("ready", 10000)) << process->errText();
        client = clientOf(registry, 5000);
        ASSERT_TRUE(client);
        object = client->lookupService(String16("sample.ticker"));
        ASSERT_TRUE(object);
        ASSERT_EQ(::pipe2(report, O_CLOEXEC), 0);
    }
    void TearDown() override {
        ::close(report[0]);
        ::close(report[1]);
    }
    std::unique_ptr<Process> process;
    sp<RegistryClient> client;
    sp<IBinder> object;
    int report[2] = {-1, -1};
};

TEST_F(TickerFixture, TicksComeInOrderAndProbeAnswersWhileTheCallerWaits) {
    sample::ITicker::Proxy ticker(object);
    sp<Listener> listener = make<Listener>();
    int32_t count = 0;
    ASSERT_EQ(ticker.subscribe(listener, 20, &count), OK);
    EXPECT_EQ(count, 1);
    ASSERT_TRUE(dispatchUntil(client, [&] { return listener->ticks.size() >= 3; }));
    EXPECT_EQ(std::vector<int64_t>(listener->ticks.begin(), listener->ticks.begin() + 3),
              (std::vector<int64_t>{1, 2, 3}));
    EXPECT_EQ(ticker.subscribe(listener, 10, &count), OK) << "a new period, the same listener";
    EXPECT_EQ(count, 1);
    int32_t answer = 0;
    EXPECT_EQ(ticker.probe(listener, 7, &answer), OK);
    EXPECT_EQ(answer, 8);
    EXPECT_EQ(ticker.probe(listener, INT32_MIN, &answer), OK);
    EXPECT_EQ(answer, INT32_MIN + 1);
}

TEST_F(TickerFixture, RequestsOutsideTheBoundsAreRefused) {
    sample::ITicker::Proxy ticker(object);
    struct Case {
        bool withListener;
        int32_t periodMs;
        status_t status;
    };
    const Case cases[] = {
        {true, 0, -EINVAL},           {true, -5, -EINVAL},   {true, kMaxTickPeriodMs + 1, -EINVAL},
        {true, INT32_MIN, -EINVAL},   {false, 100, -EINVAL}, {true, kMaxTickPeriodMs, OK},
        {true, kMinTickPeriodMs, OK},
    };
    for (const Case& c : cases) {
        int32_t count = -1;
        sp<IBinder> listener = c.withListener ? sp<IBinder>(make<Listener>()) : nullptr;
        EXPECT_EQ(ticker.subscribe(listener, c.periodMs, &count), c.status) << c.periodMs;
    }
    int32_t answer = 0;
    EXPECT_EQ(ticker.probe(nullptr, 1, &answer), -EINVAL);
}

TEST_F(TickerFixture, SubscribersAreBounded) {
    sample::ITicker::Proxy ticker(object);
    std::vector<sp<Listener>> listeners;
    int32_t count = 0;
    for (size_t i = 0; i < kMaxTickerSubscribers; ++i) {
        listeners.push_back(make<Listener>());
        ASSERT_EQ(ticker.subscribe(listeners.back(), kMaxTickPeriodMs, &count), OK) << i;
    }
    EXPECT_EQ(count, static_cast<int32_t>(kMaxTickerSubscribers));
    EXPECT_EQ(ticker.subscribe(make<Listener>(), 100, &count), -EUSERS);
    EXPECT_EQ(ticker.subscribe(listeners.front(), 100, &count), OK) << "one already served";
}

TEST_F(TickerFixture, ASubscriberThatExitsIsDropped) {
    sample::ITicker::Proxy ticker(object);
    sp<Listener> listener = make<Listener>();
    int32_t count = 0;
    ASSERT_EQ(ticker.subscribe(listener, 50, &count), OK);
    Child child;
    child.pid = forkSubscriber(registry, 3, 50, false, report[1]);
    EXPECT_EQ(readReport(report[0]), 4);
    ASSERT_TRUE(waitUntil(
        [&] { return ticker.subscribe(listener, 50, &count) == OK && count == 1; }, 10000))
        << count;
}

TEST_F(TickerFixture, AStoppedSubscriberCostsABoundedQueueAndNoOtherSubscriber) {
    sample::ITicker::Proxy ticker(object);
    Child child;
    child.pid = forkSubscriber(registry, 50, 1, true, report[1]);
    ASSERT_EQ(readReport(report[0]), 50);
    ASSERT_EQ(::kill(child.pid, SIGSTOP), 0);
    Footprint before = quietFootprintOf(process->pid());
    sp<Listener> listener = make<Listener>();
    int32_t count = 0;
    ASSERT_EQ(ticker.subscribe(listener, 1, &count), OK);
    EXPECT_EQ(count, 51);
    // 2,000 periods: the stopped one was sent far more than its queue's bound by then.
    ASSERT_TRUE(dispatchUntil(
        client, [&] { return listener->ticks.size() >= 2000; }, 60000));
    for (size_t i = 1; i < listener->ticks.size(); ++i) {
        ASSERT_LT(listener->ticks[i - 1], listener->ticks[i]) << i;
    }
    Footprint after = quietFootprintOf(process->pid());
    // Freed memory is held back on purpose under the sanitizer: only a plain build measures.
    EXPECT_TRUE(kSanitized || after.rssKb <= before.rssKb +
                                                 static_cast<long>(kCallbackQueueBytes / 1024) +
                                                 kRssSlackKb)
        << "the ticker's memory stays flat: " << after.rssKb << " KiB against " << before.rssKb;
    EXPECT_TRUE(process->running());
    EXPECT_EQ(ticker.subscribe(listener, 1, &count), OK);
    EXPECT_EQ(count, 51) << "a stopped subscriber misses ticks but stays subscribed";
}

TEST_F(TickerFixture, TheClientIsToldWhenTheTickerGoes) {
    sample::ITicker::Proxy ticker(object);
    sp<Listener> listener = make<Listener>();
    int32_t count = 0;
    ASSERT_EQ(ticker.subscribe(listener, 20, &count), OK);
    sp<Told> told = make<Told>();
    ASSERT_EQ(object->notifyWhenGone(told), OK);
    ASSERT_TRUE(dispatchUntil(client, [&] { return !listener->ticks.empty(); }));
    ASSERT_EQ(::kill(process->pid(), SIGKILL), 0);
    ASSERT_TRUE(dispatchUntil(client, [&] { return told->count == 1; }));
    EXPECT_EQ(ticker.subscribe(listener, 20, &count), -EPIPE);
}

// The tool's own object, from the shell: `invoke ... listener=@`.
TEST_F(TickerFixture, TheToolsObjectPrintsItsTicksAndAnswersNothing) {
    struct Row {
        const char* what;
        std::vector<std::string> args;
        std::string out;
        std::string err;
        int status;
    };
    const std::string tick = "{\"method\": \"tick\", \"args\": {\"n\": ";
    const Row rows[] = {
        {"three ticks",
         {"--count", "3", "sample.ticker", "subscribe", "listener=@", "period_ms=20"},
         "{\"subscribers\": 1}\n" + tick + "1}}\n" + tick + "2}}\n" + tick + "3}}\n",
         "",
         0},
        {"a call back while the tool waits gets its failure, at once",
         {"sample.ticker", "probe", "listener=@", "n=7"},
         "",
         "zorlek: Transaction failed with status -95 (Operation not supported)\n",
         10},
        {"no tick within the time",
         {"--timeout", "0.2", "sample.ticker", "subscribe", "listener=@", "period_ms=60000"},
         "{\"subscribers\": 1}\n",
         "zorlek: Timed out waiting for sample.ticker\n",
         10},
    };
    for (const Row& row : rows) {
        std::vector<std::string> argv = {binPath("zorlek"), "invoke"};
        argv.insert(argv.end(), row.args.begin(), row.args.end());
        RunResult run = runProgram(argv, registry.env(), 20000);
        EXPECT_EQ(run.out, row.out) << row.what;
        EXPECT_EQ(run.err, row.err) << row.what;
        EXPECT_EQ(run.exitCode, row.status) << row.what;
    }
}

TEST_F(TickerFixture, TheToolSaysWhenTheTickerGoesFirst) {
    auto tool = Process::start(
        {binPath("zorlek"), "invoke", "sample.ticker", "subscribe", "listener=@", "period_ms=20"},
        registry.env());
    ASSERT_TRUE(tool);
    ASSERT_TRUE(tool->waitForLine("{\"method\": \"tick\", \"args\": {\"n\": 1}}", 10000));
    process->stop(SIGKILL);
    EXPECT_EQ(tool->wait(10000), 10);
    EXPECT_EQ(tool->errText(), "zorlek: sample.ticker is gone\n");
}

TEST_F(TickerFixture, TheToolEndsAtASignalWithStatusZero) {
    auto tool = Process::start(
        {binPath("zorlek"), "invoke", "sample.ticker", "subscribe", "listener=@", "period_ms=20"},
        registry.env());
    ASSERT_TRUE(tool);
    ASSERT_TRUE(tool->waitForLine("{\"method\": \"tick\", \"args\": {\"n\": 2}}", 10000));
    EXPECT_EQ(tool->stop(SIGINT, 10000), 0);
    EXPECT_EQ(tool->errText(), "");
}

}  // namespace
}  // namespace zorlek::test
