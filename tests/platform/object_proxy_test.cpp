// ObjectProxy against a fake hosting process played by hand on the other end of a
// socket pair: what goes over the wire, replies and failure statuses, one-way calls,
// timeouts, a closed peer, oversized and malformed replies, and that a proxy stays dead
// after its channel went out of step.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/ipc/object_proxy.h"
#include "platform/transport/message_io.h"
#include "platform/transport/parcel_access.h"
#include "tests/platform/socket_helpers.h"

namespace zorlek::test {
namespace {

constexpr int kShortMs = 150;

using Clock = std::chrono::steady_clock;

struct Request {
    status_t status = -1;
    MessageHeader header;
    Parcel payload;
};

Request receiveRequest(int fd) {
    Request r;
    r.status = receiveMessage(fd, &r.header, &r.payload, nullptr, kMaxParcelSize, 2000);
    return r;
}

status_t answer(int fd, uint32_t code, status_t status, const Bytes& payload) {
    return sendMessage(fd, {MSG_REPLY, code, status, 0}, payload.data(), payload.size(), -1, 2000);
}

struct ProxyFixture : ::testing::Test {
    SocketPair pair = makeSocketPair();
    sp<ObjectProxy> proxy = make<ObjectProxy>(std::move(pair.a), kShortMs);
    int peer() { return pair.b.get(); }
};

TEST_F(ProxyFixture, SendsTheRequestAndReturnsTheReply) {
    Parcel request;
    request.writeInterfaceToken(String16("t.I"));
    request.writeInt32(7);
    Bytes reply = {1, 0, 0, 0, 2, 0, 0, 0};
    Request seen;
    std::thread fake([&] {
        seen = receiveRequest(peer());
        answer(peer(), 33, OK, reply);
    });
    Parcel got;
    status_t status = proxy->sendTransaction(33, request, &got, 0);
    fake.join();
    ASSERT_EQ(seen.status, OK);
    EXPECT_EQ(seen.header.type, uint32_t{MSG_TRANSACT});
    EXPECT_EQ(seen.header.code, 33u);
    EXPECT_EQ(seen.header.value, 0);
    EXPECT_EQ(bytesOf(seen.payload.data(), seen.payload.dataSize()),
              bytesOf(request.data(), request.dataSize()));
    EXPECT_EQ(status, OK);
    EXPECT_EQ(bytesOf(got.data(), got.dataSize()), reply);
    EXPECT_EQ(got.dataPosition(), 0u);
    EXPECT_TRUE(proxy->isAlive());
}

TEST_F(ProxyFixture, AFailureStatusComesBackWithAnEmptyReply) {
    for (status_t failure : {-EBADRQC, -22, 5, INT32_MIN}) {
        std::thread fake([&] {
            receiveRequest(peer());
            answer(peer(), 1, failure, Bytes{9, 9, 9, 9});
        });
        Parcel got;
        got.writeInt32(1);
        EXPECT_EQ(proxy->sendTransaction(1, Parcel(), &got, 0), failure);
        fake.join();
        EXPECT_EQ(got.dataSize(), 0u) << failure;
        EXPECT_TRUE(proxy->isAlive()) << "a failure status keeps the channel";
    }
}

TEST_F(ProxyFixture, ANullReplyStillConsumesTheAnswer) {
    std::thread fake([&] {
        receiveRequest(peer());
        answer(peer(), 1, OK, Bytes(64, 1));
        receiveRequest(peer());
        answer(peer(), 2, OK, Bytes{4, 0, 0, 0});
    });
    EXPECT_EQ(proxy->sendTransaction(1, Parcel(), nullptr, 0), OK);
    Parcel got;
    EXPECT_EQ(proxy->sendTransaction(2, Parcel(), &got, 0), OK);
    fake.join();
    EXPECT_EQ(bytesOf(got.data(), got.dataSize()), (Bytes{4, 0, 0, 0}));
}

TEST_F(ProxyFixture, OneWayDoesNotWait) {
    Parcel request;
    request.writeInt32(5);
    Parcel got;
    got.writeInt32(1);
    auto start = Clock::now();
    EXPECT_EQ(proxy->sendTransaction(8, request, &got, FLAG_ONEWAY), OK);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(kShortMs));
    EXPECT_EQ(got.dataSize(), 0u);
    Request seen = receiveRequest(peer());
    ASSERT_EQ(seen.status, OK);
    EXPECT_EQ(seen.header.code, 8u);
    EXPECT_EQ(static_cast<uint32_t>(seen.header.value), FLAG_ONEWAY);
    EXPECT_TRUE(proxy->isAlive());
}

TEST_F(ProxyFixture, NoReplyInTimeIsATimeoutAndTheProxyDies) {
    Parcel got;
    auto start = Clock::now();
    EXPECT_EQ(proxy->sendTransaction(1, Parcel(), &got, 0), -ETIMEDOUT);
    auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(kShortMs - 5));
    EXPECT_LT(took, std::chrono::milliseconds(3000));
    EXPECT_FALSE(proxy->isAlive());
    // A late answer must never be taken for the answer to a later call.
    ASSERT_EQ(receiveRequest(peer()).status, OK);
    answer(peer(), 1, OK, Bytes{1, 0, 0, 0});
    start = Clock::now();
    EXPECT_EQ(proxy->sendTransaction(1, Parcel(), &got, 0), -EPIPE);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(kShortMs));
    EXPECT_EQ(got.dataSize(), 0u);
}

TEST_F(ProxyFixture, APeerThatClosesIsEpipe) {
    std::thread fake([&] {
        receiveRequest(peer());
        pair.b.reset();
    });
    Parcel got;
    EXPECT_EQ(proxy->sendTransaction(1, Parcel(), &got, 0), -EPIPE);
    fake.join();
    EXPECT_FALSE(proxy->isAlive());
    EXPECT_EQ(proxy->sendTransaction(1, Parcel(), &got, 0), -EPIPE);
}

TEST_F(ProxyFixture, APeerGoneBeforeTheRequestIsEpipeWithoutSignal) {
    pair.b.reset();
    Parcel request;
    for (int i = 0; i < 1000; ++i) request.writeInt32(i);
    Parcel got;
    EXPECT_EQ(proxy->sendTransaction(1, request, &got, 0), -EPIPE);
    EXPECT_EQ(proxy->sendTransaction(1, request, &got, FLAG_ONEWAY), -EPIPE);
}

TEST_F(ProxyFixture, AReplyOverTheLimitIsRefused) {
    std::thread fake([&] {
        receiveRequest(peer());
        sendRaw(peer(), cat({header(MSG_REPLY, 1, 0, kMaxParcelSize + 4), Bytes(64, 0)}));
    });
    Parcel got;
    EXPECT_EQ(proxy->sendTransaction(1, Parcel(), &got, 0), -EMSGSIZE);
    fake.join();
    EXPECT_EQ(got.dataSize(), 0u);
    EXPECT_FALSE(proxy->isAlive()) << "the rest of the reply would follow";
    EXPECT_EQ(proxy->sendTransaction(1, Parcel(), &got, 0), -EPIPE);
}

TEST_F(ProxyFixture, AReplyOfExactlyTheLimitIsTaken) {
    Bytes big(kMaxParcelSize, 0xAB);
    std::thread fake([&] {
        receiveRequest(peer());
        answer(peer(), 1, OK, big);
    });
    Parcel got;
    EXPECT_EQ(proxy->sendTransaction(1, Parcel(), &got, 0), OK);
    fake.join();
    EXPECT_EQ(got.dataSize(), kMaxParcelSize);
}

TEST_F(ProxyFixture, MalformedRepliesKillTheProxy) {
    struct Case {
        const char* what;
        Bytes bytes;
    };
    const Case cases[] = {
        {"wrong type", header(MSG_TRANSACT, 1, 0, 0)},
        {"wrong code", header(MSG_REPLY, 2, 0, 0)},
        {"size not a multiple of 4", cat({header(MSG_REPLY, 1, 0, 3), Bytes(4, 0)})},
        {"two replies", cat({header(MSG_REPLY, 1, 0, 0), header(MSG_REPLY, 1, 0, 0)})},
    };
    for (const Case& c : cases) {
        SocketPair fresh = makeSocketPair();
        sp<ObjectProxy> p = make<ObjectProxy>(std::move(fresh.a), kShortMs);
        int peerFd = fresh.b.get();
        std::thread fake([&] {
            receiveRequest(peerFd);
            sendRaw(peerFd, c.bytes);
        });
        Parcel got;
        got.writeInt32(1);
        EXPECT_EQ(p->sendTransaction(1, Parcel(), &got, 0), -EBADMSG) << c.what;
        fake.join();
        EXPECT_EQ(got.dataSize(), 0u) << c.what;
        EXPECT_FALSE(p->isAlive()) << c.what;
    }
}

TEST_F(ProxyFixture, ARequestOverTheLimitSendsNothing) {
    Parcel request;
    ParcelAccess::resizeForReceive(request, kMaxParcelSize + 4);
    Parcel got;
    got.writeInt32(1);
    EXPECT_EQ(proxy->sendTransaction(1, request, &got, 0), -EMSGSIZE);
    EXPECT_EQ(got.dataSize(), 0u);
    EXPECT_TRUE(readAvailable(peer(), 20).empty());
    EXPECT_TRUE(proxy->isAlive()) << "nothing was sent, so the channel is still in step";
}

TEST_F(ProxyFixture, ARequestOfExactlyTheLimitTravels) {
    Parcel request;
    ParcelAccess::resizeForReceive(request, kMaxParcelSize);
    Request seen;
    std::thread fake([&] {
        seen = receiveRequest(peer());
        answer(peer(), 1, OK, {});
    });
    EXPECT_EQ(proxy->sendTransaction(1, request, nullptr, 0), OK);
    fake.join();
    EXPECT_EQ(seen.payload.dataSize(), kMaxParcelSize);
}

TEST_F(ProxyFixture, APeerThatDoesNotReadABigRequestTimesOut) {
    Parcel request;
    ParcelAccess::resizeForReceive(request, kMaxParcelSize);
    auto start = Clock::now();
    EXPECT_EQ(proxy->sendTransaction(1, request, nullptr, 0), -ETIMEDOUT);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(3000));
    EXPECT_FALSE(proxy->isAlive());
}

}  // namespace
}  // namespace zorlek::test
