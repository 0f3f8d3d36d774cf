// SPDX-License-Identifier: Apache-2.0
// The built zorlek against a real registry and zorlek-echo services: whole outputs of
// list, check and call, including the dump of an echoed request, an intent record with
// many categories, failures reported after the result, and a hung service that does not
// hang list.

#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include "commands/commands.h"
#include "harness/harness.h"
#include "platform/ipc/registry_client.h"
#include "tests/commands/fakes.h"
#include "tests/platform/fake_registry.h"

namespace zorlek::test {
namespace {

// The reply dump, written out from its description: a header, then per 16 bytes the
// offset, up to four little-endian words padded to four, and the bytes as text.
std::string dump(const Bytes& data) {
    std::string out = "Parcel(" + std::to_string(data.size()) + " bytes)";
    for (size_t offset = 0; offset < data.size(); offset += 16) {
        size_t count = std::min<size_t>(16, data.size() - offset);
        char head[32];
        std::snprintf(head, sizeof head, "\n  %08zx: ", offset);
        std::string words;
        for (size_t w = 0; w + 4 <= count; w += 4) {
            const uint8_t* b = data.data() + offset + w;
            char word[10];
            std::snprintf(word, sizeof word, "%s%02x%02x%02x%02x", w == 0 ? "" : " ", b[3], b[2],
                          b[1], b[0]);
            words += word;
        }
        words.resize(35, ' ');
        std::string text;
        for (size_t i = 0; i < count; ++i) {
            uint8_t c = data[offset + i];
            text += c >= 0x20 && c <= 0x7E ? static_cast<char>(c) : '.';
        }
        out += head + words + "  " + text;
    }
    return out;
}

std::string result(const Bytes& reply) {
    return "Result: " + dump(reply) + "\n";
}

const std::string kEchoToken = "zorlek.IEcho";

void expectRun(const RunResult& got, const std::string& out, const std::string& err, int status,
               const std::string& what) {
    EXPECT_FALSE(got.timedOut) << what;
    EXPECT_EQ(got.out, out) << what;
    EXPECT_EQ(got.err, err) << what;
    EXPECT_EQ(got.exitCode, status) << what;
}

TEST(CommandsE2E, DumpMatchesTheDocumentedExample) {
    // The example of the reply dump, so that the model above is the documented one.
    EXPECT_EQ(dump(cat({i32(1), i32(100), i32(7), s16(u"hi")})),
              "Parcel(24 bytes)\n"
              "  00000000: 00000001 00000064 00000007 00000002  ....d...........\n"
              "  00000010: 00690068 00000000                    h.i.....");
}

TEST(CommandsE2E, ListAndCheck) {
    Registry registry;
    ASSERT_TRUE(registry.ready());
    expectRun(registry.zorlek({"list"}), "Found 0 services:\n", "", 0, "empty list");
    auto foo = registry.startEcho({"--descriptor", "x.IFoo", "b", "a"});
    auto odd = registry.startEcho({"--descriptor", "x.\x1B[31m\xC3\xA9", "caf\xC3\xA9"});
    auto none = registry.startEcho({"--no-descriptor", "nodesc"});
    auto blank = registry.startEcho({"--descriptor", "", "blank"});
    ASSERT_TRUE(foo && odd && none && blank);
    expectRun(registry.zorlek({"list", "ignored"}),
              "Found 5 services:\n"
              "0\ta: [x.IFoo]\n"
              "1\tb: [x.IFoo]\n"
              "2\tblank: []\n"
              "3\tcaf\xC3\xA9: [x.\\x1B[31m\xC3\xA9]\n"
              "4\tnodesc: []\n",
              "", 0, "list");
    expectRun(registry.zorlek({"check", "a"}), "Service a: found\n", "", 0, "check a");
    expectRun(registry.zorlek({"check", "caf\xC3\xA9"}), "Service caf\xC3\xA9: found\n", "", 0,
              "check non-ASCII");
    expectRun(registry.zorlek({"check", "nosuch"}), "Service nosuch: not found\n", "", 0,
              "check nosuch");
    // A service that refuses the descriptor query is there, and `call` says what failed.
    expectRun(registry.zorlek({"check", "nodesc"}), "Service nodesc: found\n", "", 0,
              "check nodesc");
    expectRun(registry.zorlek({"call", "nodesc", "1", "i32"}), "",
              "zorlek: Unable to get the interface of nodesc: Invalid request code\n", 10,
              "call nodesc");
    expectRun(registry.zorlek({"call", "blank", "1"}), "", "zorlek: Service blank does not exist\n",
              10, "call blank");
    expectRun(registry.zorlek({"check"}), kUsage, "zorlek: No service specified for check\n", 10,
              "check alone");
}

TEST(CommandsE2E, CallDumpsTheEchoedRequest) {
    Registry registry;
    ASSERT_TRUE(registry.ready());
    auto echo = registry.startEcho({"echo"});
    ASSERT_TRUE(echo);
    Bytes token = s16(u"zorlek.IEcho");
    expectRun(registry.zorlek({"call", "echo", "3", "i32", "7", "s16", "hi", "null"}),
              result(cat({i32(3), token, i32(7), s16(u"hi"), nullRef()})), "", 0, "typed");
    expectRun(registry.zorlek({"call", "echo", "-1", "s16", "caf\xC3\xA9"}),
              result(cat({i32(0xFFFFFFFF), token, s16(u"caf\xE9")})), "", 0, "code -1");

    std::string categories;
    Bytes categoryItems = i32(40);
    for (int i = 0; i < 40; ++i) {
        std::string name = "cat" + std::to_string(i);
        categories += (i == 0 ? "" : ",") + name;
        categoryItems = cat({categoryItems, s16(std::u16string(name.begin(), name.end()))});
    }
    Bytes record = cat({s16(u"A"), i32(0xFFFFFFFF), s16(u"t"), i32(16), s16(u"c/d"), categoryItems,
                        i32(0xFFFFFFFF)});
    expectRun(registry.zorlek({"call", "echo", "9", "i32", "1", "intent", "action=A", "=type=t",
                               "launchFlags=16", "component=c/d", "categories=" + categories}),
              result(cat({i32(9), token, i32(1), record})), "", 0, "intent with 40 categories");
    // The echo object describes no interface, and says so as any such object does.
    expectRun(registry.zorlek({"describe", "echo"}), "",
              "zorlek: Service echo does not describe its interface (--interface FILE.zi gives "
              "one)\n",
              10, "describe");
}

TEST(CommandsE2E, ErrorsAndFailures) {
    Registry registry;
    ASSERT_TRUE(registry.ready());
    auto fails = registry.startEcho({"--status", "-22", "fails"});
    auto positive = registry.startEcho({"--status", "3", "positive"});
    // Exits at the first transaction other than the descriptor query: while it runs,
    // nothing was sent to it.
    auto tripwire = registry.startEcho({"--exit-on-call", "tripwire"});
    ASSERT_TRUE(fails && positive && tripwire);
    expectRun(registry.zorlek({"call", "fails", "5"}), result({}),
              "zorlek: Transaction failed with status -22 (Invalid argument)\n", 10, "status -22");
    expectRun(registry.zorlek({"call", "positive", "5"}), result({}),
              "zorlek: Transaction failed with status 3\n", 10, "status 3");
    expectRun(registry.zorlek({"call", "nosuch", "1", "I32"}), "",
              "zorlek: Service nosuch does not exist\n", 10, "missing service");
    const struct {
        std::vector<std::string> args;
        std::string err;
    } argumentErrors[] = {
        {{"call", "tripwire", "1", "i32", "4294967296"},
         "zorlek: integer out of range for 'i32': 4294967296\n"},
        {{"call", "tripwire", "1", "i32"}, "zorlek: no integer supplied for 'i32'\n"},
        {{"call", "tripwire", "1", "null", "I32", "5"}, "zorlek: unknown option I32\n"},
        {{"call", "tripwire", "1", "intent", "launchFlags=-2147483649"},
         "zorlek: integer out of range for 'launchFlags': -2147483649\n"},
        {{"call", "tripwire", "4294967296"}, "zorlek: Code out of range: 4294967296\n"},
    };
    for (const auto& row : argumentErrors) {
        expectRun(registry.zorlek(row.args), kUsage, row.err, 10, row.err);
    }
    EXPECT_TRUE(tripwire->running());
    // The same service does get a call that is well formed.
    expectRun(registry.zorlek({"call", "tripwire", "1"}), result({}),
              "zorlek: Transaction failed with status -32 (Broken pipe)\n", 10, "tripwire");
    EXPECT_EQ(tripwire->wait(5000), 0);
}

TEST(CommandsE2E, AHungServiceDoesNotHangTheTool) {
    Registry registry;
    ASSERT_TRUE(registry.ready());
    auto hung = registry.startEcho({"--hang", "hung"});
    auto slow = registry.startEcho({"--hang-calls", "slow"});
    auto fine = registry.startEcho({"fine"});
    ASSERT_TRUE(hung && slow && fine);
    const EnvChanges shortWait = {"ZORLEK_CALL_TIMEOUT_MS=300"};
    expectRun(registry.zorlek({"list"}, shortWait),
              "Found 3 services:\n"
              "0\tfine: [zorlek.IEcho]\n"
              "1\thung: []\n"
              "2\tslow: [zorlek.IEcho]\n",
              "", 0, "list");
    expectRun(registry.zorlek({"call", "hung", "1"}, shortWait), "",
              "zorlek: Unable to get the interface of hung: Connection timed out\n", 10,
              "call hung");
    expectRun(registry.zorlek({"call", "slow", "1"}, shortWait), result({}),
              "zorlek: Transaction failed with status -110 (Connection timed out)\n", 10,
              "call slow");
    // A wrong code is refused before anything is asked of the service, without a wait.
    expectRun(registry.zorlek({"call", "hung", "99999999999"}, {}, 3000), kUsage,
              "zorlek: Code out of range: 99999999999\n", 10, "code first");
}

// A registry that completes the handshake and then fails the lookups: the tool reports the
// failure with status 20, never a missing name.
TEST(CommandsE2E, ARegistryThatFailsTheLookupIsNeverTakenForAMissingName) {
    enum Fault { kCloses, kGoesSilent, kAnswersNonsense };
    struct Case {
        std::vector<std::string> args;
        Fault fault;
        std::string out;
        std::string err;
    };
    const Case cases[] = {
        {{"check", "x"},
         kCloses,
         "",
         "zorlek: Unable to look up x: the registry closed the connection\n"},
        {{"check", "x"},
         kGoesSilent,
         "",
         "zorlek: Unable to look up x: the registry did not answer in time\n"},
        {{"check", "x"},
         kAnswersNonsense,
         "",
         "zorlek: Unable to look up x: the registry sent a malformed answer\n"},
        {{"call", "x", "1", "i32", "7"},
         kCloses,
         "",
         "zorlek: Unable to look up x: the registry closed the connection\n"},
        {{"call", "x", "1"},
         kGoesSilent,
         "",
         "zorlek: Unable to look up x: the registry did not answer in time\n"},
        {{"list"},
         kCloses,
         "Found 2 services:\n",
         "zorlek: Unable to list services: the registry closed the connection\n"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        std::string path = dir.path() + "/reg.sock";
        PlayedRegistry played(path, [&](int fd, int) {
            if (!answerHello(fd)) return;
            Request first = receiveRequest(fd);
            if (first.header.type == MSG_LIST) {
                reply(fd, MSG_LIST_REPLY, 0, page({u"a.name", u"b.name"}));
                receiveRequest(fd);
            }
            if (c.fault == kGoesSilent) readAvailable(fd, 1500);
            if (c.fault == kAnswersNonsense) sendRaw(fd, header(MSG_LIST_REPLY, 0, 0, 0));
        });
        std::vector<std::string> argv = {binPath("zorlek")};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        RunResult got =
            runProgram(argv, {"ZORLEK_REGISTRY=" + path, "ZORLEK_CALL_TIMEOUT_MS=300"}, 10000);
        EXPECT_EQ(got.out, c.out) << c.args[0] << " " << c.fault;
        EXPECT_EQ(got.err, c.err) << c.args[0] << " " << c.fault;
        EXPECT_EQ(got.exitCode, 20) << c.args[0] << " " << c.fault;
    }
}

// The real registry client, seen through: runs `afterListing` once the names are in, and
// counts the descriptors this process holds after each batch of lookups (the most it
// holds at any time: replies only let channels go).
class WatchedRegistry : public ServiceManager {
  public:
    WatchedRegistry(sp<ServiceManager> real, std::function<void()> afterListing)
        : real_(std::move(real)), afterListing_(std::move(afterListing)) {}
    sp<IBinder> lookupService(const String16& name) override { return real_->lookupService(name); }
    Vector<String16> listServiceNames() override { return real_->listServiceNames(); }
    status_t list(Vector<String16>* out) override {
        status_t status = real_->list(out);
        afterListing_();
        before_ = openDescriptors();
        return status;
    }
    status_t lookup(const String16& name, sp<IBinder>* out) override {
        return real_->lookup(name, out);
    }
    status_t lookupServices(const String16* names, size_t count, sp<IBinder>* out,
                            size_t* answered) override {
        status_t status = real_->lookupServices(names, count, out, answered);
        mostHeld = std::max(mostHeld, openDescriptors() - before_);
        return status;
    }
    int mostHeld = 0;

  private:
    sp<ServiceManager> real_;
    std::function<void()> afterListing_;
    int before_ = 0;
};

// "n", the number, then `suffix`. Appended rather than "n" + std::to_string(...), on which
// g++ 12 warns falsely at -O3 (-Wrestrict in an inlined memcpy).
std::string numbered(int number, const char* suffix = "") {
    std::string name = "n";
    name.append(std::to_string(number)).append(suffix);
    return name;
}

TEST(CommandsE2E, ListKeepsEveryNameInFlightAndPrintsWhatOneAtATimeWould) {
    Registry registry;
    ASSERT_TRUE(registry.ready());
    // Answering names, 200 silent ones on two hosts among them, and three whose host is
    // gone by the time they are looked up.
    std::vector<std::string> answering, silent, vanishing;
    for (int i = 0; i < 150; ++i) answering.push_back(numbered(1000 + i));
    for (int i = 0; i < 200; ++i) silent.push_back(numbered(1020 + i, "s"));
    for (int i = 0; i < 3; ++i) vanishing.push_back(numbered(1100 + i, "v"));
    std::vector<std::string> hungArgs = {"--hang"}, hungArgs2 = {"--hang"};
    hungArgs.insert(hungArgs.end(), silent.begin(), silent.begin() + 100);
    hungArgs2.insert(hungArgs2.end(), silent.begin() + 100, silent.end());
    auto fine = registry.startEcho(answering);
    auto hung = registry.startEcho(hungArgs);
    auto hung2 = registry.startEcho(hungArgs2);
    auto doomed = registry.startEcho(vanishing);
    ASSERT_TRUE(fine && hung && hung2 && doomed);
    std::vector<std::pair<std::string, std::string>> lines;
    for (const auto& n : answering) lines.push_back({n, "zorlek.IEcho"});
    for (const auto& n : silent) lines.push_back({n, ""});
    for (const auto& n : vanishing) lines.push_back({n, ""});
    std::sort(lines.begin(), lines.end());
    std::string expected = "Found " + std::to_string(lines.size()) + " services:\n";
    for (size_t i = 0; i < lines.size(); ++i) {
        expected += std::to_string(i) + "\t" + lines[i].first + ": [" + lines[i].second + "]\n";
    }
    const int timeoutMs = 500;
    sp<WatchedRegistry> watched(
        new WatchedRegistry(RegistryClient::connect(registry.socketPath().c_str(), timeoutMs),
                            [&] { doomed->stop(9); }));
    auto start = std::chrono::steady_clock::now();
    Outcome got = runTool(watched, {"list"});
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(got.out, expected);
    EXPECT_EQ(got.err, "");
    EXPECT_EQ(got.status, 0);
    // One channel for each of the three hosts that still answer, however many names.
    EXPECT_LE(watched->mostHeld, 3);
    EXPECT_GT(watched->mostHeld, 1) << "the lookups did not overlap";
    // The 200 silent names cost one wait together (about 0.5 s; one after another they
    // would cost 100 s). The bound is a guard, ten times the one wait.
    EXPECT_LT(took, std::chrono::milliseconds(10 * timeoutMs));
}

}  // namespace
}  // namespace zorlek::test
