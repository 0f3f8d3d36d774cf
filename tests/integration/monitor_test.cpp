// SPDX-License-Identifier: Apache-2.0
// Watching a host's calls through a tap the registry grants: who may, what the registry
// answers to every kind of request, and what a record holds for each kind of call.

#include <sys/stat.h>
#include <unistd.h>

#include "registry/policy.h"
#include "tests/integration/monitor_support.h"
#include "tests/integration/registry_thread.h"
#include "tests/integration/trust_support.h"

namespace zorlek::test {
namespace {

// A policy folder only root may change, holding `lines` in one file.
std::string policyFolder(const TempDir& dir, const std::string& lines) {
    std::string folder = dir.path() + "/policy";
    if (::mkdir(folder.c_str(), 0755) != 0) return "";
    std::string conf = folder + "/monitor.conf";
    FILE* file = std::fopen(conf.c_str(), "w");
    if (file == nullptr) return "";
    std::fputs(lines.c_str(), file);
    std::fclose(file);
    return ::chmod(conf.c_str(), 0644) == 0 ? folder : "";
}

// The probe's statuses, asking for `count` taps on `name` through `launcher`.
std::string probe(const EnvChanges& env, const std::vector<std::string>& launcher,
                  const std::string& name, int count = 1) {
    std::vector<std::string> argv = launcher;
    argv.insert(argv.end(), {ZORLEK_TAP_PROBE, name, std::to_string(count)});
    RunResult run = runProgram(argv, env, 10000);
    return run.exitCode == 0 ? run.out : "exit " + std::to_string(run.exitCode) + ": " + run.err;
}

std::vector<std::string> asMember(uid_t uid, const std::string& groups) {
    return {kSetpriv, "--reuid=" + std::to_string(uid), "--regid=" + std::to_string(uid),
            "--groups=" + groups};
}

// The host runs as 61001; the policy grants watching by user (nobody) and by group
// (nogroup), and a registry log line tells each grant and refusal.
TEST_F(Trust, WhoMayMonitor) {
    std::string folder = policyFolder(dir,
                                      "monitor mon.* user nobody\n"
                                      "monitor mon.grouped group nogroup\n");
    ASSERT_FALSE(folder.empty());
    ASSERT_TRUE(startRegistry({"--allow-any-user", "--policy-dir", folder}));
    attackers.push_back(Process::start(
        asUser(61001, {binPath("zorlek-echo"), "mon.svc", "mon.grouped", "other.svc"}), env()));
    ASSERT_TRUE(attackers.back() && attackers.back()->waitForLine("ready", 10000));
    const std::string ok = "0\n", denied = std::to_string(-EPERM) + "\n";
    const struct {
        const char* who;
        std::vector<std::string> launcher;
        const char* name;
        std::string statuses;
    } cases[] = {
        {"root", {}, "other.svc", ok},
        {"the host's own user", asUser(61001, {}), "other.svc", ok},
        {"a user granted by a user line", asUser(65534, {}), "mon.svc", ok},
        {"a user the user line does not name", asUser(61003, {}), "mon.svc", denied},
        {"a member by supplementary group", asMember(61002, "65534"), "mon.grouped", ok},
        {"a member of the group, a name of another line", asMember(61002, "65534"), "mon.svc",
         denied},
        {"a refused user", asUser(61003, {}), "other.svc", denied},
        {"a refused user, a name not registered", asUser(61003, {}), "mon.none",
         std::to_string(-ENOENT) + "\n"},
        {"the user line's user, a name not registered", asUser(65534, {}), "mon.none",
         std::to_string(-ENOENT) + "\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(probe(env(), c.launcher, c.name), c.statuses) << c.who;
    }
    std::string log = registry->errText();
    EXPECT_NE(log.find("zorlek-registry: refused a monitor of other.svc to uid 61003"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("zorlek-registry: granted a monitor of mon.svc to uid 65534"),
              std::string::npos)
        << log;
}

// Users other than root and the host's own take at most half of a host's taps; root, then,
// the rest; past them all, none.
TEST_F(Trust, AHostsTapsAreBoundedAndOthersTakeHalf) {
    std::string folder = policyFolder(dir, "monitor bound.* user nobody\n");
    ASSERT_FALSE(folder.empty());
    ASSERT_TRUE(startRegistry({"--policy-dir", folder}));
    ASSERT_TRUE(startVictim("bound.svc"));
    const std::string others = "0 0 0 0 0 0 0 0 " + std::to_string(-EMFILE) + "\n";
    EXPECT_EQ(probe(env(), asUser(65534, {}), "bound.svc", 9), others);
    // The probe has gone, and its taps with its connection: root has them all.
    std::string all;
    for (int i = 0; i < 16; ++i) all += "0 ";
    all += std::to_string(-EMFILE) + "\n";
    EXPECT_EQ(probe(env(), {}, "bound.svc", 17), all);
}

// One user other than root and the host's holds at most its bound of taps in all (a
// registry with a bound of 3, on a thread of this process).
TEST_F(Trust, OneUsersTapsAreBounded) {
    registry::Policy policy;
    std::vector<String8> problems;
    policy.addText("t.conf", "monitor lim.* user nobody\n", registry::systemAccounts(), &problems);
    ASSERT_TRUE(problems.empty());
    registry::ServerOptions options;
    options.policy = &policy;
    options.maxTapsPerUser = 3;
    RegistryThread limited(path, options);
    ASSERT_TRUE(limited.listening());
    limited.start();
    ASSERT_TRUE(startVictim("lim.svc"));
    std::string expected = "0 0 0 " + std::to_string(-EDQUOT) + "\n";
    EXPECT_EQ(probe(env(), asUser(65534, {}), "lim.svc", 4), expected);
    EXPECT_EQ(probe(env(), {}, "lim.svc", 4), "0 0 0 0\n") << "root is not bounded by it";
}

struct Monitor : ::testing::Test {
    Registry registry;
    void SetUp() override { ASSERT_TRUE(registry.ready()); }
};

// The registry's answers to requests of every kind, hostile ones included.
TEST_F(Monitor, TheRegistryAnswersEveryRequest) {
    auto echo = registry.startEcho({"ans.svc"});
    ASSERT_TRUE(echo);
    sp<RegistryClient> client = clientOf(registry);
    ASSERT_TRUE(client);
    const struct {
        const char* what;
        const char* name;
        int32_t snaplen;
        status_t status;
    } cases[] = {
        {"granted, no snap", "ans.svc", 0, OK},
        {"granted, the longest snap", "ans.svc", kMaxSnapLength, OK},
        {"a name not registered", "ans.none", 16, -ENOENT},
        {"an empty name", "", 16, -ENOENT},
        {"a negative snaplen", "ans.svc", -1, -EINVAL},
        {"a snaplen past the longest", "ans.svc", kMaxSnapLength + 1, -EINVAL},
    };
    for (const auto& c : cases) {
        uint32_t handle = 7;
        unique_fd tap;
        EXPECT_EQ(client->monitor(String16(c.name), c.snaplen, &handle, &tap), c.status) << c.what;
        EXPECT_EQ(tap.valid(), c.status == OK) << c.what;
        EXPECT_EQ(handle != 0, c.status == OK) << c.what;
    }
    // By hand: a snaplen the client would not send, and a request without one.
    RawPeer raw(registry);
    ASSERT_TRUE(raw.hello());
    ASSERT_TRUE(raw.sendBytes(message(MSG_MONITOR, cat({s16(u"ans.svc"), i32(70000)}))));
    MessageHeader answer = raw.answer();
    EXPECT_EQ(answer.type, uint32_t{MSG_MONITOR_REPLY});
    EXPECT_EQ(answer.value, -EINVAL);
    ASSERT_TRUE(raw.sendBytes(message(MSG_MONITOR, s16(u"ans.svc"))));
    EXPECT_TRUE(raw.closedByPeer(5000)) << "a request without its snaplen is malformed";
}

// A host that did not say it can be tapped, and a registry built before monitors.
TEST_F(Monitor, WhoCannotBeTappedSaysSo) {
    RawPeer host(registry);
    ASSERT_TRUE(host.hello());  // with no feature bits
    ASSERT_TRUE(host.sendBytes(registration(s16(u"old.host"))));
    ASSERT_EQ(host.answer().value, OK);
    sp<RegistryClient> client = clientOf(registry);
    ASSERT_TRUE(client);
    uint32_t handle = 0;
    unique_fd tap;
    EXPECT_EQ(client->monitor(String16("old.host"), 16, &handle, &tap), -EOPNOTSUPP);
    EXPECT_FALSE(tap.valid());

    TempDir dir;
    registry::ServerOptions options;
    options.registryUid = ::getuid();
    options.features = kRegistryFeatures & ~FEATURE_MONITOR;
    RegistryThread older(dir.path() + "/older.sock", options);
    ASSERT_TRUE(older.listening());
    older.start();
    sp<RegistryClient> olderClient = RegistryClient::connect((dir.path() + "/older.sock").c_str());
    ASSERT_TRUE(olderClient);
    EXPECT_EQ(olderClient->monitor(String16("any"), 16, &handle, &tap), -EOPNOTSUPP);
    // Asked anyway, it answers as for a type it does not know, and keeps the connection.
    unique_fd sock;
    ASSERT_EQ(connectUnix((dir.path() + "/older.sock").c_str(), 2000, &sock), OK);
    RawPeer raw(std::move(sock));
    ASSERT_TRUE(raw.hello());
    ASSERT_TRUE(raw.sendBytes(message(MSG_MONITOR, cat({s16(u"any"), i32(0)}))));
    MessageHeader answer = raw.answer();
    EXPECT_EQ(answer.type, uint32_t{MSG_ERROR});
    EXPECT_EQ(answer.value, -EBADRQC);
}

// What a record holds for a two-way call, a one-way call and a failed one, snaps cut at
// the monitor's snaplen.
TEST_F(Monitor, RecordsHoldEachCallAsItWasServed) {
    auto ok = registry.startEcho({"rec.ok"});
    auto bad = registry.startEcho({"--status", "-22", "rec.bad"});
    ASSERT_TRUE(ok && bad);
    uint32_t okHandle = 0, badHandle = 0;
    unique_fd okTap = tapOn(registry, "rec.ok", 6, &okHandle);
    unique_fd badTap = tapOn(registry, "rec.bad", 64, &badHandle);
    ASSERT_TRUE(okTap.valid() && badTap.valid());
    sp<RegistryClient> client = clientOf(registry);
    ASSERT_TRUE(client);
    sp<IBinder> okObject = client->lookupService(String16("rec.ok"));
    sp<IBinder> badObject = client->lookupService(String16("rec.bad"));
    ASSERT_TRUE(okObject && badObject);
    Parcel two;
    two.writeInt32(0x04030201);
    two.writeInt32(0x08070605);
    Parcel one;
    one.writeInt32(0x0C0B0A09);
    const struct {
        const char* what;
        IBinder* object;
        int tap;
        uint32_t handle;
        uint32_t code;
        const Parcel& request;
        uint32_t flags;
        status_t status;
        uint32_t replySize;
        Bytes requestSnap;
        Bytes replySnap;
    } cases[] = {
        {"two-way",
         okObject.get(),
         okTap.get(),
         okHandle,
         7,
         two,
         0,
         OK,
         12,
         {1, 2, 3, 4, 5, 6},
         {7, 0, 0, 0, 1, 2}},
        {"one-way",
         okObject.get(),
         okTap.get(),
         okHandle,
         9,
         one,
         FLAG_ONEWAY,
         OK,
         0,
         {9, 10, 11, 12},
         {}},
        {"failed",
         badObject.get(),
         badTap.get(),
         badHandle,
         5,
         one,
         0,
         -22,
         // A failed call's reply is never sent: nothing of it is shown.
         0,
         {9, 10, 11, 12},
         {}},
    };
    for (const auto& c : cases) {
        uint64_t before = wallNowUs();
        Parcel reply;
        c.object->sendTransaction(c.code, c.request, &reply, c.flags);
        TapMessage got;
        ASSERT_EQ(nextOnTap(c.tap, &got), OK) << c.what;
        uint64_t after = wallNowUs();
        ASSERT_EQ(got.header.type, uint32_t{MSG_CALL_RECORD}) << c.what;
        const CallRecord& r = got.record;
        // Arrival is read off two clocks: a microsecond of rounding either way.
        EXPECT_GE(r.timeUs + 1, before) << c.what;
        EXPECT_LE(r.timeUs, after) << c.what;
        EXPECT_LE(r.durationUs, after - before) << c.what;
        EXPECT_EQ(r.pid, ::getpid()) << c.what;
        EXPECT_EQ(r.uid, ::getuid()) << c.what;
        EXPECT_EQ(r.gid, ::getgid()) << c.what;
        EXPECT_EQ(r.handle, c.handle) << c.what;
        EXPECT_EQ(r.code, c.code) << c.what;
        EXPECT_EQ(r.flags, c.flags) << c.what;
        EXPECT_EQ(r.status, c.status) << c.what;
        EXPECT_EQ(r.requestSize, c.request.dataSize()) << c.what;
        EXPECT_EQ(r.replySize, c.replySize) << c.what;
        EXPECT_EQ(r.direction, CALL_TO_HOST) << c.what;
        EXPECT_EQ(bytesOf(r.requestSnap, r.requestSnapSize), c.requestSnap) << c.what;
        EXPECT_EQ(bytesOf(r.replySnap, r.replySnapSize), c.replySnap) << c.what;
    }
    // The host going ends its taps.
    ok->stop();
    TapMessage got;
    EXPECT_EQ(nextOnTap(okTap.get(), &got), -EPIPE);
}

}  // namespace
}  // namespace zorlek::test
