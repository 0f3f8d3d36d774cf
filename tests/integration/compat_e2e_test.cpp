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

// An object of this process, and a service that answers a plain call with its request and
// hands out an object of its own when asked.
struct Plain : LocalObject {
    Plain() : LocalObject(String16("test.IPlain")) {}
    status_t onTransact(uint32_t code, Parcel& data, Parcel* reply, uint32_t flags) override {
        if (code == 1) return reply->write(data.data(), data.dataSize());
        if (code == 2) return reply->writeStrongBinder(sp<IBinder>(this));
        return LocalObject::onTransact(code, data, reply, flags);
    }
};

// A new client and a host built before objects travelled (its greeting announces none):
// the host's channel is introduced as before, an object never reaches it, and plain calls
// go on.
TEST_F(Fixture, ANewClientPassesNoObjectToAnOldHost) {
    RawPeer host(registry);
    ASSERT_TRUE(host.hello());
    ASSERT_TRUE(host.sendBytes(registration(s16(u"old"))));
    ASSERT_EQ(host.answer().type, MSG_REGISTER_REPLY);
    sp<RegistryClient> client = clientOf(registry, 2000);
    sp<IBinder> old = client->lookupService(String16("old"));
    ASSERT_TRUE(old);
    Parcel introduced;
    unique_fd channel;
    ASSERT_EQ(host.answer(&introduced, &channel).type, MSG_CHANNEL);
    EXPECT_EQ(introduced.dataSize(), 12u) << "pid, uid, gid: no feature bits to an old host";
    ASSERT_TRUE(channel.valid());
    Parcel request, reply;
    request.writeStrongBinder(make<Plain>());
    EXPECT_EQ(old->sendTransaction(1, request, &reply, 0), -EPROTONOSUPPORT);
    EXPECT_EQ(old->sendTransaction(1, request, nullptr, FLAG_ONEWAY), -EPROTONOSUPPORT);
    pollfd p{channel.get(), POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 100), 0) << "nothing of the refused calls was sent";
    // A plain call still goes, and is all the host reads.
    std::thread serving([&] {
        MessageHeader call;
        Parcel payload;
        if (receiveMessage(channel.get(), &call, &payload, nullptr, kMaxParcelSize, 2000) != OK)
            return;
        if (call.type != MSG_TRANSACT) return;
        MessageHeader answer{MSG_REPLY, call.code, OK, 0, call.serial, call.object};
        sendMessage(channel.get(), answer, payload.data(), payload.dataSize(), -1, 2000);
    });
    Parcel plain;
    plain.writeInt32(7);
    EXPECT_EQ(old->sendTransaction(1, plain, &reply, 0), OK);
    serving.join();
    EXPECT_EQ(bytesOf(reply), i32(7));
    EXPECT_EQ(::poll(&p, 1, 100), 0) << "one call read, none more";
}

// An old client (its greeting announces no objects) and a new host: the lookup and the
// calls are byte for byte as before, and an object the host would hand out fails the call
// rather than reach it.
TEST_F(Fixture, AnOldClientCallsANewHostAsBefore) {
    ServiceHost host(2000);
    ASSERT_EQ(host.connect(registry.socketPath().c_str()), OK);
    ASSERT_EQ(host.addService(String16("new"), make<Plain>()), OK);
    std::thread serving([&] { host.serve(); });
    RawPeer client(registry);
    ASSERT_TRUE(client.hello());
    ASSERT_TRUE(client.sendBytes(message(MSG_LOOKUP, s16(u"new"))));
    Parcel found;
    unique_fd channel;
    MessageHeader lookup = client.answer(&found, &channel);
    EXPECT_EQ(lookup.type, MSG_LOOKUP_REPLY);
    EXPECT_EQ(lookup.value, OK);
    EXPECT_EQ(found.dataSize(), 0u) << "no feature bits to an old client";
    ASSERT_TRUE(channel.valid());
    RawPeer calls(std::move(channel));
    ASSERT_TRUE(calls.sendBytes(cat({header(MSG_TRANSACT, 1, 0, 4, 1, lookup.object), i32(9)})));
    Parcel reply;
    MessageHeader answer = calls.answer(&reply);
    EXPECT_EQ(
        header(answer.type, answer.code, answer.value, answer.size, answer.serial, answer.object),
        header(MSG_REPLY, 1, OK, 4, 1, lookup.object));
    EXPECT_EQ(bytesOf(reply), i32(9));
    ASSERT_TRUE(calls.sendBytes(header(MSG_TRANSACT, 2, 0, 0, 2, lookup.object)));
    answer = calls.answer(&reply);
    EXPECT_EQ(answer.type, static_cast<uint32_t>(MSG_REPLY));
    EXPECT_EQ(answer.value, -EPROTONOSUPPORT);
    EXPECT_EQ(answer.size, 0u);
    ASSERT_TRUE(calls.sendBytes(cat({header(MSG_TRANSACT, 1, 0, 4, 3, lookup.object), i32(10)})));
    EXPECT_EQ(calls.answer(&reply).value, OK) << "the channel serves on";
    EXPECT_EQ(bytesOf(reply), i32(10));
    host.stop();
    serving.join();
}

}  // namespace
}  // namespace zorlek::test
