// SPDX-License-Identifier: Apache-2.0
// Programs of one major version built at different times: a client and a host against a
// registry played by hand as a newer one (fields appended to its answers, messages of
// types they do not know, feature bits they have never heard of) and as an older one (no
// features), and a client against a host that sends a type it does not know. Each must
// answer what it does not know with MSG_ERROR, skip what is appended, use only the
// features both sides have, and go on.

#include <atomic>
#include <cstdlib>

#include "tests/platform/fake_registry.h"

namespace zorlek::test {
namespace {

// A type no peer of this version knows, and a feature bit none has.
constexpr uint32_t kNewType = 99;
constexpr uint32_t kNewFeature = 1u << 30;

// Eight bytes a newer sender appends to a payload.
Parcel appended(Parcel payload = Parcel()) {
    payload.writeInt32(0x600D);
    payload.writeInt32(-1);
    return payload;
}

// Answers the greeting as a registry with `features`, appending a field to the answer.
bool answerHelloWith(int fd, uint32_t features) {
    Request hello = receiveRequest(fd);
    if (hello.status != OK || hello.header.type != MSG_HELLO) return false;
    Parcel extra = appended();
    return sendMessage(fd, {MSG_HELLO, kProtocolMagic, OK, 0, features, kProtocolVersion},
                       extra.data(), extra.dataSize(), -1, 2000) == OK;
}

// Sends a message of a type the receiver does not know, with a payload and a serial.
status_t sendNewType(int fd, uint32_t serial) {
    Parcel extra = appended();
    return sendMessage(fd, {kNewType, 7, 0, 0, serial}, extra.data(), extra.dataSize(), -1, 2000);
}

// True when the next message on `fd` is the MSG_ERROR that answers kNewType of `serial`.
bool answeredAsUnknown(int fd, uint32_t serial) {
    Request in = receiveRequest(fd);
    return in.status == OK && in.header.type == MSG_ERROR && in.header.code == kNewType &&
           in.header.serial == serial && in.header.value == -EBADRQC;
}

TEST_F(ClientFixture, AClientSkipsWhatANewerRegistryAppendsAndAnswersWhatItDoesNotKnow) {
    bool unknownAnswered = false;
    SocketPair channel = makeSocketPair();
    PlayedRegistry fake(path, [&](int fd, int) {
        if (!answerHelloWith(fd, kRegistryFeatures | kNewFeature)) return;
        // A lookup: a message of a new type comes first, then the answer with a field more.
        receiveRequest(fd);
        sendNewType(fd, 5);
        MessageHeader found{MSG_LOOKUP_REPLY, 0, OK, 0, 0, 1};
        setHost(&found, 42);
        Parcel extra = appended();
        sendMessage(fd, found, extra.data(), extra.dataSize(), channel.b.get(), 2000);
        unknownAnswered = answeredAsUnknown(fd, 5);
        // A status question and a lookup, answered with fields more.
        receiveRequest(fd);
        receiveRequest(fd);
        Parcel holder;
        for (int32_t word : {1234, 1000, 1000, 500, 0}) holder.writeInt32(word);
        holder.writeInt32(1);
        holder.writeString16(String16("svc"));
        reply(fd, MSG_STATUS_REPLY, OK, appended(holder));
        lookupReply(fd, 42, 1);
        // A listing page with a field after its names.
        receiveRequest(fd);
        reply(fd, MSG_LIST_REPLY, 0, appended(page({u"svc"})));
        readAvailable(fd, 200);
    });
    sp<RegistryClient> client = RegistryClient::connect(path.c_str(), 2000);
    ASSERT_TRUE(client);
    sp<IBinder> object;
    EXPECT_EQ(client->lookup(String16("svc"), &object), OK);
    EXPECT_TRUE(object);
    ServiceHolder holder;
    sp<IBinder> again;
    EXPECT_EQ(client->holderOf(String16("svc"), &holder, &again), OK);
    EXPECT_EQ(holder.pid, 1234);
    EXPECT_EQ(holder.sinceMs, 500);
    EXPECT_EQ(holder.names, Vector<String16>{String16("svc")});
    EXPECT_TRUE(again);
    Vector<String16> names;
    EXPECT_EQ(client->list(&names), OK);
    EXPECT_EQ(names, Vector<String16>{String16("svc")});
    client = nullptr;
    object = nullptr;
    again = nullptr;
    EXPECT_TRUE(unknownAnswered);
}

TEST_F(ClientFixture, AClientAsksAnOlderRegistryNothingItCannotAnswer) {
    bool askedNothing[2] = {false, false};
    {
        PlayedRegistry fake(
            path,
            [&](int fd, int index) {
                // The status question (first connection) and the wait (second) are not sent.
                if (answerHelloWith(fd, 0)) askedNothing[index] = readAvailable(fd, 300).empty();
            },
            2);
        sp<RegistryClient> client = RegistryClient::connect(path.c_str(), 2000);
        ASSERT_TRUE(client);
        ServiceHolder holder;
        EXPECT_EQ(client->holderOf(String16("svc"), &holder), -EOPNOTSUPP);
        client = nullptr;
        ::setenv("ZORLEK_REGISTRY", path.c_str(), 1);
        String16 name("svc");
        size_t pending = 0;
        EXPECT_EQ(waitForServices(&name, 1, false, 2000, &pending), -EOPNOTSUPP);
        ::unsetenv("ZORLEK_REGISTRY");
    }  // the played registry has seen both connections end
    EXPECT_TRUE(askedNothing[0]);
    EXPECT_TRUE(askedNothing[1]);
}

TEST_F(ClientFixture, ARegistryThatDoesNotKnowARequestLeavesTheConnectionServing) {
    bool servedAfter = false;
    PlayedRegistry fake(path, [&](int fd, int) {
        if (!answerHelloWith(fd, kRegistryFeatures)) return;
        receiveRequest(fd);
        receiveRequest(fd);
        sendMessage(fd, {MSG_ERROR, MSG_STATUS, -EBADRQC, 0}, nullptr, 0, -1, 2000);
        reply(fd, MSG_LOOKUP_REPLY, -ENOENT);
        Request next = receiveRequest(fd);
        servedAfter = next.status == OK && next.header.type == MSG_LOOKUP;
        reply(fd, MSG_LOOKUP_REPLY, -ENOENT);
        readAvailable(fd, 200);
    });
    sp<RegistryClient> client = RegistryClient::connect(path.c_str(), 2000);
    ASSERT_TRUE(client);
    ServiceHolder holder;
    sp<IBinder> object;
    EXPECT_EQ(client->holderOf(String16("svc"), &holder, &object), -EOPNOTSUPP);
    EXPECT_EQ(client->lookup(String16("other"), &object), -ENOENT);
    client = nullptr;
    EXPECT_TRUE(servedAfter);
}

TEST_F(ClientFixture, AHostSkipsWhatANewerRegistryAppendsAndAnswersWhatItDoesNotKnow) {
    std::atomic<bool> unknownAnswered{false};
    std::atomic<bool> called{false};
    SocketPair channel = makeSocketPair();
    PlayedRegistry fake(path, [&](int fd, int) {
        if (!answerHelloWith(fd, kRegistryFeatures | kNewFeature)) return;
        receiveRequest(fd);
        reply(fd, MSG_REGISTER_REPLY, OK, appended());
        sendNewType(fd, 9);
        unknownAnswered = answeredAsUnknown(fd, 9);
        // A channel whose announcement carries a field more.
        Parcel caller;
        for (int32_t word : {1, 0, 0}) caller.writeInt32(word);
        caller = appended(caller);
        // As the registry makes channels: the host's end asks for every sender.
        int on = 1;
        ::setsockopt(channel.b.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
        sendMessage(fd, {MSG_CHANNEL}, caller.data(), caller.dataSize(), channel.b.get(), 2000);
        channel.b.reset();
        // Over it: a message of a new type, answered so, then a call, answered as ever.
        sendNewType(channel.a.get(), 3);
        bool channelAnswered = answeredAsUnknown(channel.a.get(), 3);
        sendMessage(channel.a.get(), {MSG_TRANSACT, DESCRIPTOR_QUERY_CODE, 0, 0, 4, 1}, nullptr, 0,
                    -1, 2000);
        Request answer = receiveRequest(channel.a.get());
        called = channelAnswered && answer.status == OK && answer.header.type == MSG_REPLY &&
                 answer.header.serial == 4 && answer.header.value == OK;
        // Wakes the host's loop to see it, then keeps the connection until the host goes.
        sendNewType(fd, 10);
        readAvailable(fd, kLongMs);
    });
    LinkedHost host;
    ASSERT_EQ(host.link.connect(path.c_str()), OK);
    status_t result = 1;
    ASSERT_EQ(host.link.add(String16("svc"), host.object, &result), OK);
    host.runUntil([&] { return result != 1; });
    EXPECT_EQ(result, OK);
    host.runUntil([&] { return called.load(); });
    EXPECT_TRUE(host.link.isRegistered(String16("svc")));
    EXPECT_TRUE(unknownAnswered);
    EXPECT_TRUE(called);
}

TEST(ClientChannelCompat, AClientAnswersAHostsNewTypeAndGetsItsReply) {
    SocketPair pair = makeSocketPair();
    bool unknownAnswered = false;
    std::thread host([&] {
        Request call = receiveRequest(pair.b.get());
        sendNewType(pair.b.get(), call.header.serial);
        answer(pair.b.get(), call, OK, i32(7));
        unknownAnswered = answeredAsUnknown(pair.b.get(), call.header.serial);
    });
    sp<ObjectProxy> proxy = proxyOn(std::move(pair.a), 2000);
    Parcel reply;
    EXPECT_EQ(proxy->sendTransaction(1, Parcel(), &reply, 0), OK);
    int32_t value = 0;
    EXPECT_EQ(reply.readInt32(&value), OK);
    EXPECT_EQ(value, 7);
    host.join();
    EXPECT_TRUE(unknownAnswered);
}

}  // namespace
}  // namespace zorlek::test
