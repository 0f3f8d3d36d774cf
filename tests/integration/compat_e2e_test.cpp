// SPDX-License-Identifier: Apache-2.0
// The registry against peers of the same major version built at other times: a newer one
// (feature bits and fields it does not know, messages of new types), and the tool and a
// service against a registry built before its features (one in this process, with them
// turned off). Each serves what it knows, answers what it does not, and goes on.

#include "tests/integration/ipc_support.h"
#include "tests/integration/registry_thread.h"

namespace zorlek::test {
namespace {

constexpr uint32_t kNewType = 99;
constexpr uint32_t kNewFeature = 1u << 30;

// A payload with eight bytes a newer sender appended.
Bytes withAppended(Bytes payload) {
    payload.insert(payload.end(), {1, 2, 3, 4, 5, 6, 7, 8});
    return payload;
}

TEST_F(Fixture, ARegistryServesANewerPeerAndAnswersWhatItDoesNotKnow) {
    auto echo = registry.startEcho({"echo"});
    ASSERT_TRUE(echo);
    RawPeer peer(registry);
    ASSERT_TRUE(
        peer.sendBytes(cat({header(MSG_HELLO, kProtocolMagic, kProtocolVersion, 8, 0, kNewFeature),
                            withAppended({})})));
    MessageHeader hello = peer.answer();
    EXPECT_EQ(hello.type, MSG_HELLO);
    EXPECT_EQ(hello.value, OK);
    EXPECT_EQ(hello.serial, kRegistryFeatures);

    ASSERT_TRUE(peer.sendBytes(cat({header(kNewType, 1, 0, 8, 5), withAppended({})})));
    MessageHeader error = peer.answer();
    EXPECT_EQ(error.type, MSG_ERROR);
    EXPECT_EQ(error.code, kNewType);
    EXPECT_EQ(error.serial, 5u);
    EXPECT_EQ(error.value, -EBADRQC);

    // Requests with fields appended after what this version reads.
    ASSERT_TRUE(peer.sendBytes(registration(withAppended(s16(u"mine")))));
    MessageHeader registered = peer.answer();
    EXPECT_EQ(registered.type, MSG_REGISTER_REPLY);
    EXPECT_EQ(registered.value, OK);
    ASSERT_TRUE(peer.sendBytes(message(MSG_LOOKUP, withAppended(s16(u"echo")))));
    unique_fd channel;
    MessageHeader found = peer.answer(nullptr, &channel);
    EXPECT_EQ(found.type, MSG_LOOKUP_REPLY);
    EXPECT_EQ(found.value, OK);
    EXPECT_TRUE(channel.valid());
    ASSERT_TRUE(peer.sendBytes(message(MSG_STATUS, withAppended(s16(u"mine")))));
    Parcel holder;
    MessageHeader status = peer.answer(&holder);
    EXPECT_EQ(status.type, MSG_STATUS_REPLY);
    EXPECT_EQ(status.value, OK);
    int32_t pid = 0;
    EXPECT_EQ(holder.readInt32(&pid), OK);
    EXPECT_EQ(pid, ::getpid());
    // A release with a field more is taken as any release: no answer, the peer kept.
    MessageHeader release{MSG_RELEASE};
    setHost(&release, hostOf(found));
    ASSERT_TRUE(peer.sendBytes(
        cat({header(MSG_RELEASE, release.code, 0, 8, release.serial), withAppended({})})));
    EXPECT_EQ(listed(registry), (std::vector<std::string>{"echo", "mine"}));
    EXPECT_FALSE(peer.closedByPeer(200));
}

// The tool and a service against a registry built before status and wait: what it knows
// works as ever, and what it does not is not asked of it.
TEST(RegistryWithoutFeatures, TheToolAndAServiceUseOnlyWhatItDoes) {
    TempDir dir;
    std::string path = dir.path() + "/older.sock";
    registry::ServerOptions options;
    options.features = 0;
    RegistryThread older(path, options);
    ASSERT_TRUE(older.listening());
    older.start();
    EnvChanges env = {"ZORLEK_REGISTRY=" + path};
    auto echo = Process::start({binPath("zorlek-echo"), "echo"}, env);
    ASSERT_TRUE(echo && echo->waitForLine("ready"));
    struct Case {
        std::vector<std::string> args;
        std::string out;
        std::string err;
        int status;
    };
    const std::string older_ = "the registry is older than this request\n";
    const Case cases[] = {
        {{"list"}, "Found 1 services:\n0\techo: [zorlek.IEcho]\n", "", 0},
        {{"check", "echo"}, "Service echo: found\n", "", 0},
        {{"status", "echo"}, "", "zorlek: Unable to look up echo: " + older_, 20},
        {{"wait", "echo"}, "", "zorlek: Unable to wait for services: " + older_, 20},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv = {binPath("zorlek")};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        RunResult got = runProgram(argv, env);
        EXPECT_EQ(got.out, c.out) << c.args[0];
        EXPECT_EQ(got.err, c.err) << c.args[0];
        EXPECT_EQ(got.exitCode, c.status) << c.args[0];
    }
    RunResult call = runProgram({binPath("zorlek"), "call", "echo", "7"}, env);
    EXPECT_EQ(call.exitCode, 0) << call.err;
    // Asked anyway, a request of a feature it lacks is answered as unknown, and the
    // connection serves on.
    RawPeer peer{unique_fd()};
    ASSERT_EQ(connectUnix(path.c_str(), 2000, &peer.sock), OK);
    ASSERT_TRUE(peer.hello());
    ASSERT_TRUE(peer.sendBytes(message(MSG_STATUS, s16(u"echo"))));
    MessageHeader error = peer.answer();
    EXPECT_EQ(error.type, MSG_ERROR);
    EXPECT_EQ(error.code, static_cast<uint32_t>(MSG_STATUS));
    ASSERT_TRUE(peer.sendBytes(message(MSG_LOOKUP, s16(u"nosuch"))));
    EXPECT_EQ(peer.answer().type, MSG_LOOKUP_REPLY);
    echo->stop();
}

}  // namespace
}  // namespace zorlek::test
