// SPDX-License-Identifier: Apache-2.0
// zorlek-echo as documented, observed from outside: its command line, its answers
// through the client API, its exit statuses and its single "ready" line.

#include <signal.h>

#include "tests/integration/ipc_support.h"

namespace zorlek::test {
namespace {

struct EchoFixture : ::testing::Test {
    Registry registry;
    void SetUp() override { ASSERT_TRUE(registry.ready()); }

    sp<IBinder> lookUp(const char* name, int timeoutMs = 5000) {
        sp<RegistryClient> client = clientOf(registry, timeoutMs);
        return client ? client->lookupService(String16(name)) : nullptr;
    }
};

Bytes stringItem(const char* text) {
    Parcel p;
    p.writeString16(String16(text));
    return bytesOf(p);
}

TEST_F(EchoFixture, DescriptorQueryAnswers) {
    struct Case {
        std::vector<std::string> options;
        status_t status;
        Bytes reply;
    };
    const Case cases[] = {
        {{}, OK, stringItem("zorlek.IEcho")},
        {{"--descriptor", "x.IFoo"}, OK, stringItem("x.IFoo")},
        {{"--descriptor", ""}, OK, stringItem("")},
        {{"--descriptor", "a", "--descriptor", "b"}, OK, stringItem("b")},
        {{"--status", "-22"}, OK, stringItem("zorlek.IEcho")},
        // The service sends the text with the failure; the caller gets an empty reply.
        {{"--no-descriptor"}, -EBADRQC, {}},
        {{"--hang-calls"}, OK, stringItem("zorlek.IEcho")},
    };
    int n = 0;
    for (const Case& c : cases) {
        std::string name = "svc" + std::to_string(n++);
        std::vector<std::string> args = c.options;
        args.push_back(name);
        auto echo = registry.startEcho(args);
        ASSERT_TRUE(echo) << name;
        sp<IBinder> object = lookUp(name.c_str());
        ASSERT_TRUE(object);
        Parcel reply;
        EXPECT_EQ(object->sendTransaction(DESCRIPTOR_QUERY_CODE, Parcel(), &reply, 0), c.status)
            << name;
        EXPECT_EQ(bytesOf(reply), c.reply) << name;
    }
}

TEST_F(EchoFixture, OtherCodesEchoTheCodeAndTheRequest) {
    auto echo = registry.startEcho({"e"});
    ASSERT_TRUE(echo);
    sp<IBinder> object = lookUp("e");
    ASSERT_TRUE(object);
    for (uint32_t code : {0u, 1u, 0x5F4E5445u, 0x5F4E5447u, 0xFFFFFFFFu}) {
        Parcel request;
        request.writeInt32(static_cast<int32_t>(code ^ 0x55));
        Parcel reply;
        ASSERT_EQ(object->sendTransaction(code, request, &reply, 0), OK) << code;
        int32_t echoedCode = 0, echoedValue = 0;
        ASSERT_EQ(reply.readInt32(&echoedCode), OK);
        ASSERT_EQ(reply.readInt32(&echoedValue), OK);
        EXPECT_EQ(static_cast<uint32_t>(echoedCode), code);
        EXPECT_EQ(static_cast<uint32_t>(echoedValue), code ^ 0x55);
        EXPECT_EQ(reply.dataAvail(), 0u);
    }
    // An empty request gives just the code.
    Parcel reply;
    ASSERT_EQ(object->sendTransaction(3, Parcel(), &reply, 0), OK);
    EXPECT_EQ(bytesOf(reply), (Bytes{3, 0, 0, 0}));
}

TEST_F(EchoFixture, StatusOptionSetsTheStatusOfOtherCodes) {
    for (const char* n : {"-22", "5", "0", "-2147483648", "2147483647"}) {
        std::string name = std::string("s") + n;
        auto echo = registry.startEcho({"--status", n, name});
        ASSERT_TRUE(echo) << n;
        sp<IBinder> object = lookUp(name.c_str());
        ASSERT_TRUE(object);
        Parcel request, reply;
        request.writeInt32(1);
        status_t expected = static_cast<status_t>(std::stoll(n));
        EXPECT_EQ(object->sendTransaction(4, request, &reply, 0), expected) << n;
        EXPECT_EQ(reply.dataSize(), expected == OK ? 8u : 0u) << n;
    }
}

TEST_F(EchoFixture, ExitOnCallExitsCleanlyWithoutReplying) {
    auto echo = registry.startEcho({"--exit-on-call", "quitter"});
    ASSERT_TRUE(echo);
    sp<IBinder> object = lookUp("quitter");
    ASSERT_TRUE(object);
    status_t status;
    EXPECT_EQ(descriptorOf(object, &status), String16("zorlek.IEcho")) << "answered first";
    Parcel reply;
    EXPECT_EQ(object->sendTransaction(1, Parcel(), &reply, 0), -EPIPE);
    EXPECT_EQ(echo->wait(5000), 0);
    EXPECT_EQ(listed(registry), std::vector<std::string>{});
}

TEST_F(EchoFixture, HangNeverRepliesNotEvenTheDescriptor) {
    auto echo = registry.startEcho({"--hang", "stuck"});
    ASSERT_TRUE(echo);
    sp<IBinder> object = lookUp("stuck", 200);
    ASSERT_TRUE(object);
    Parcel reply;
    EXPECT_EQ(object->sendTransaction(DESCRIPTOR_QUERY_CODE, Parcel(), &reply, 0), -ETIMEDOUT);
    object = lookUp("stuck", 200);
    ASSERT_TRUE(object);
    EXPECT_EQ(object->sendTransaction(1, Parcel(), &reply, 0), -ETIMEDOUT);
    // Still alive and serving its registration.
    EXPECT_TRUE(echo->running());
    EXPECT_EQ(echo->stop(SIGTERM), 0);
}

TEST_F(EchoFixture, ReadyOnceAfterAllNamesAndStopsCleanly) {
    std::vector<std::string> names = manyNames(40, 8);
    for (int signal : {SIGTERM, SIGINT}) {
        auto echo = registry.startEcho(names);
        ASSERT_TRUE(echo);
        // Every name is there as soon as "ready" is.
        EXPECT_EQ(listed(registry), names);
        EXPECT_EQ(echo->stop(signal), 0) << signal;
        // Read to the end of its output: "ready" and nothing else, in its whole life.
        EXPECT_FALSE(echo->waitForLine("anything else", 5000));
        EXPECT_EQ(echo->outText(), "ready\n");
        EXPECT_EQ(echo->errText(), "");
    }
}

TEST_F(EchoFixture, CommandLineErrors) {
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string err;  // empty: only checked to be one line from getopt
    };
    const Case cases[] = {
        {{"--descriptor", "x", "--no-descriptor", "n"},
         2,
         "zorlek-echo: --descriptor and --no-descriptor exclude each other\n"},
        {{"--no-descriptor", "--descriptor", "x", "n"},
         2,
         "zorlek-echo: --descriptor and --no-descriptor exclude each other\n"},
        {{"--hang", "--hang-calls", "n"},
         2,
         "zorlek-echo: --hang and --hang-calls exclude each other\n"},
        {{"--hang-calls", "--exit-on-call", "n"},
         2,
         "zorlek-echo: --hang-calls and --exit-on-call exclude each other\n"},
        {{"--exit-on-call", "--hang", "n"},
         2,
         "zorlek-echo: --exit-on-call and --hang exclude each other\n"},
        {{}, 2, "zorlek-echo: no NAME given\n"},
        {{"--hang"}, 2, "zorlek-echo: no NAME given\n"},
        {{"--status", "abc", "n"}, 2, "zorlek-echo: --status needs a 32-bit integer, not 'abc'\n"},
        {{"--status", "2147483648", "n"},
         2,
         "zorlek-echo: --status needs a 32-bit integer, not '2147483648'\n"},
        {{"--status", "", "n"}, 2, "zorlek-echo: --status needs a 32-bit integer, not ''\n"},
        {{"--bogus", "n"}, 2, ""},
        {{"--status"}, 2, ""},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv = {binPath("zorlek-echo")};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        RunResult run = runProgram(argv, registry.env());
        std::string what = c.args.empty() ? "(none)" : c.args[0];
        EXPECT_EQ(run.exitCode, c.exitCode) << what;
        EXPECT_EQ(run.out, "") << what;
        if (!c.err.empty()) {
            EXPECT_EQ(run.err, c.err) << what;
        } else {
            EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        }
    }
    EXPECT_EQ(listed(registry), std::vector<std::string>{}) << "nothing registered";
}

TEST_F(EchoFixture, OptionsEndAtTheFirstName) {
    // "--hang" after a name is a name, not an option.
    auto echo = registry.startEcho({"first", "--hang"});
    ASSERT_TRUE(echo);
    EXPECT_EQ(listed(registry), (std::vector<std::string>{"--hang", "first"}));
    sp<IBinder> object = lookUp("first", 1000);
    ASSERT_TRUE(object);
    Parcel reply;
    EXPECT_EQ(object->sendTransaction(1, Parcel(), &reply, 0), OK);
}

TEST_F(EchoFixture, HelpGoesToStandardOutput) {
    RunResult run = runProgram({binPath("zorlek-echo"), "-h"}, registry.env());
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out.rfind("Usage: zorlek-echo ", 0), 0u) << run.out;
    EXPECT_EQ(run.err, "");
}

TEST(EchoWithoutRegistry, WaitsItsTimeoutThenExitsOneWithALine) {
    TempDir dir;
    std::string path = dir.path() + "/none.sock";
    auto start = Clock::now();
    RunResult run = runProgram({binPath("zorlek-echo"), "n"},
                               {"ZORLEK_REGISTRY=" + path, "ZORLEK_CALL_TIMEOUT_MS=300"});
    EXPECT_GE(msSince(start), 300) << "it waited for a registry first";
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err,
              "zorlek-echo: cannot reach the registry at " + path + ": no registry is running\n");
}

TEST(EchoWithoutRegistry, StartedBeforeItsRegistryRegistersOnceItIsUp) {
    // As the lines of a script would run: services first, the registry a moment later.
    TempDir dir;
    std::string path = dir.path() + "/run/reg.sock";
    auto first =
        Process::start({binPath("zorlek-echo"), "early", "bird"}, {"ZORLEK_REGISTRY=" + path});
    auto second = Process::start({binPath("zorlek-echo"), "late"}, {"ZORLEK_REGISTRY=" + path});
    ASSERT_TRUE(first && second);
    // Both are waiting for a registry.
    EXPECT_TRUE(waitUntilAsleep(first->pid(), 5000) && waitUntilAsleep(second->pid(), 5000));
    auto registry = Process::start({binPath("zorlek-registry")}, {"ZORLEK_REGISTRY=" + path});
    ASSERT_TRUE(registry);
    EXPECT_TRUE(first->waitForLine("ready", 5000));
    EXPECT_TRUE(second->waitForLine("ready", 5000));
    sp<RegistryClient> client = RegistryClient::connect(path.c_str(), 2000);
    ASSERT_TRUE(client);
    EXPECT_EQ(asUtf8(client->listServiceNames()),
              (std::vector<std::string>{"bird", "early", "late"}));
    // Stopped while it still waits for a registry, it ends quietly.
    auto waiting = Process::start({binPath("zorlek-echo"), "x"},
                                  {"ZORLEK_REGISTRY=" + dir.path() + "/no.sock"});
    ASSERT_TRUE(waiting);
    EXPECT_TRUE(waitUntilAsleep(waiting->pid(), 5000));
    EXPECT_EQ(waiting->stop(SIGTERM), 0);
    EXPECT_EQ(waiting->errText(), "");
}

}  // namespace
}  // namespace zorlek::test
