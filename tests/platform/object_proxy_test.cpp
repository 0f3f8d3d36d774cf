// SPDX-License-Identifier: Apache-2.0
// ObjectProxy against a fake hosting process played by hand on the other end of a
// socket pair: what goes over the wire, replies and failure statuses, one-way calls,
// timeouts and late replies, replies in another order than the calls, a closed peer,
// oversized and malformed replies, and that a channel stays dead once out of step.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/ipc/call_pipeline.h"
#include "platform/transport/object_proxy.h"
#include "platform/transport/parcel_access.h"
#include "tests/platform/socket_helpers.h"
#include "tests/support/wait.h"
#include "tests/support/wire_peer.h"

namespace zorlek::test {
namespace {

constexpr int kShortMs = 150;
// A bound that a test expects never to reach.
constexpr int kLongMs = 10000;

struct ProxyFixture : ::testing::Test {
    SocketPair pair = makeSocketPair();
    sp<ObjectProxy> proxy = proxyOn(std::move(pair.a), kShortMs, 5);
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
        answer(peer(), seen, OK, reply);
    });
    Parcel got;
    status_t status = proxy->sendTransaction(33, request, &got, 0);
    fake.join();
    ASSERT_EQ(seen.status, OK);
    EXPECT_EQ(seen.header.type, uint32_t{MSG_TRANSACT});
    EXPECT_EQ(seen.header.code, 33u);
    EXPECT_EQ(seen.header.value, 0);
    EXPECT_EQ(seen.header.object, 5u) << "the proxy's handle";
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
            answer(peer(), receiveRequest(peer()), failure, Bytes{9, 9, 9, 9});
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
        answer(peer(), receiveRequest(peer()), OK, Bytes(64, 1));
        answer(peer(), receiveRequest(peer()), OK, Bytes{4, 0, 0, 0});
    });
    EXPECT_EQ(proxy->sendTransaction(1, Parcel(), nullptr, 0), OK);
    Parcel got;
    EXPECT_EQ(proxy->sendTransaction(2, Parcel(), &got, 0), OK);
    fake.join();
    EXPECT_EQ(bytesOf(got.data(), got.dataSize()), (Bytes{4, 0, 0, 0}));
}

TEST_F(ProxyFixture, OneWayDoesNotWait) {
    // A proxy that would wait 10 s for a reply that never comes.
    SocketPair own = makeSocketPair();
    sp<ObjectProxy> patient = proxyOn(std::move(own.a), kLongMs, 5);
    Parcel request;
    request.writeInt32(5);
    Parcel got;
    got.writeInt32(1);
    auto start = Clock::now();
    EXPECT_EQ(patient->sendTransaction(8, request, &got, FLAG_ONEWAY), OK);
    // A guard: the send takes a few milliseconds; waiting for a reply would take 10 s.
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(kLongMs / 2)) << "it waited";
    EXPECT_EQ(got.dataSize(), 0u);
    Request seen = receiveRequest(own.b.get());
    ASSERT_EQ(seen.status, OK);
    EXPECT_EQ(seen.header.code, 8u);
    EXPECT_EQ(static_cast<uint32_t>(seen.header.value), FLAG_ONEWAY);
    EXPECT_TRUE(patient->isAlive());
}

TEST_F(ProxyFixture, NoReplyInTimeIsATimeoutAndTheLateReplyIsDropped) {
    Parcel got;
    auto start = Clock::now();
    EXPECT_EQ(proxy->sendTransaction(1, Parcel(), &got, 0), -ETIMEDOUT);
    auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(kShortMs - 5));
    // A guard against a hang, twenty times the bound.
    EXPECT_LT(took, std::chrono::milliseconds(3000));
    EXPECT_EQ(got.dataSize(), 0u);
    EXPECT_TRUE(proxy->isAlive()) << "the channel is still in step";
    // A late answer must never be taken for the answer to a later call.
    Request late = receiveRequest(peer());
    ASSERT_EQ(late.status, OK);
    answer(peer(), late, OK, Bytes{1, 0, 0, 0});
    std::thread fake([&] { answer(peer(), receiveRequest(peer()), OK, Bytes{2, 0, 0, 0}); });
    EXPECT_EQ(proxy->sendTransaction(2, Parcel(), &got, 0), OK);
    fake.join();
    EXPECT_EQ(bytesOf(got), (Bytes{2, 0, 0, 0}));
}

TEST_F(ProxyFixture, RepliesMayComeInAnyOrder) {
    // Two proxies on one channel; the host answers the second call first.
    sp<ObjectProxy> other = make<ObjectProxy>(sp<ChannelEnd>(&proxy->end()), 6);
    CallPipeline pipeline(2);
    ASSERT_TRUE(pipeline.add(proxy, 1, Parcel()));
    ASSERT_TRUE(pipeline.add(other, 2, Parcel()));
    std::thread fake([&] {
        Request first = receiveRequest(peer());
        Request second = receiveRequest(peer());
        answer(peer(), second, OK, i32(second.header.object));
        answer(peer(), first, OK, i32(first.header.object));
    });
    Parcel got;
    EXPECT_EQ(pipeline.takeOldest(&got), OK);
    EXPECT_EQ(bytesOf(got), i32(5));
    EXPECT_EQ(pipeline.takeOldest(&got), OK);
    EXPECT_EQ(bytesOf(got), i32(6));
    fake.join();
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
        Request r = receiveRequest(peer());
        sendRaw(peer(),
                cat({header(MSG_REPLY, 1, 0, kMaxParcelSize + 4, r.header.serial), Bytes(64, 0)}));
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
    std::thread fake([&] { answer(peer(), receiveRequest(peer()), OK, big); });
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
    // Every call on a fresh channel is its first: serial 1.
    const Case cases[] = {
        {"wrong type", header(MSG_LIST_REPLY, 1, 0, 0, 1)},
        {"objects in a table that does not hold", header(MSG_OBJ_REPLY, 1, 0, 0, 1)},
        {"wrong type, another serial", header(MSG_HELLO, 1, 0, 0, 7)},
        {"size not a multiple of 4", cat({header(MSG_REPLY, 1, 0, 3, 1), Bytes(4, 0)})},
    };
    for (const Case& c : cases) {
        SocketPair fresh = makeSocketPair();
        sp<ObjectProxy> p = proxyOn(std::move(fresh.a), kShortMs);
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

TEST_F(ProxyFixture, RepliesNoCallWaitsForAreDropped) {
    std::thread fake([&] {
        Request r = receiveRequest(peer());
        // A reply to a call never made, a second reply to the call, then its reply.
        sendRaw(peer(), header(MSG_REPLY, 1, 0, 0, r.header.serial + 100));
        answer(peer(), r, OK, i32(1));
        answer(peer(), r, OK, i32(2));
        answer(peer(), receiveRequest(peer()), OK, i32(3));
    });
    Parcel got;
    EXPECT_EQ(proxy->sendTransaction(1, Parcel(), &got, 0), OK);
    EXPECT_EQ(bytesOf(got), i32(1));
    EXPECT_EQ(proxy->sendTransaction(1, Parcel(), &got, 0), OK);
    EXPECT_EQ(bytesOf(got), i32(3));
    fake.join();
}

// A host that keeps the caller busy without answering: replies to serials nobody waits
// for, or the reply trickling in a few bytes at a time, each more often than the call's
// bound. Neither extends the wait, for a call alone or the oldest call of a pipeline.
TEST(ClientWait, NoTrafficExtendsAWait) {
    enum Pace { kStrays, kTrickle };
    for (Pace pace : {kStrays, kTrickle}) {
        for (bool pipelined : {false, true}) {
            SCOPED_TRACE(std::string(pace == kStrays ? "strays" : "trickle") +
                         (pipelined ? ", pipelined" : ", alone"));
            SocketPair pair = makeSocketPair();
            sp<ObjectProxy> proxy = proxyOn(std::move(pair.a), kShortMs);
            int peer = pair.b.get();
            std::atomic<bool> done{false};
            std::thread host([&] {
                Request call = receiveRequest(peer);
                if (pace == kTrickle)
                    sendRaw(peer, header(MSG_REPLY, 1, 0, 4096, call.header.serial));
                // The attacker's own pace, a third of the bound, for at most 10 s.
                for (int i = 0; i < 200 && !done; ++i) {
                    if (pace == kStrays) {
                        sendRaw(peer, header(MSG_REPLY, 1, 0, 0, call.header.serial + 1000));
                    } else {
                        sendRaw(peer, Bytes(4, 0));
                    }
                    std::this_thread::sleep_for(std::chrono::milliseconds(kShortMs / 3));
                }
            });
            Parcel got;
            auto start = Clock::now();
            status_t status;
            if (pipelined) {
                CallPipeline pipeline(1);
                pipeline.add(proxy, 1, Parcel());
                status = pipeline.takeOldest(&got);
            } else {
                status = proxy->sendTransaction(1, Parcel(), &got, 0);
            }
            int64_t took = msSince(start);
            done = true;
            host.join();
            EXPECT_EQ(status, -ETIMEDOUT);
            EXPECT_GE(took, kShortMs - 5);
            // A guard against a hang, ten times the bound: each stray used to start the
            // wait anew, so the call lasted as long as the host kept sending.
            EXPECT_LT(took, 10 * kShortMs);
        }
    }
}

// Serials count on past 2^32 calls on one channel: calls on either side of the wrap find
// their replies, whatever order they come in.
TEST(ClientWait, SerialsPastTheWrapFindTheirCalls) {
    SocketPair pair = makeSocketPair();
    sp<ClientChannel> channel =
        make<ClientChannel>(std::move(pair.a), 2000, nullptr, 0, 0, 0xFFFFFFFEu);
    int peer = pair.b.get();
    constexpr int kCalls = 5;
    std::vector<sp<ObjectProxy>> proxies;
    CallPipeline pipeline(kCalls);
    for (int i = 0; i < kCalls; ++i) {
        proxies.push_back(make<ObjectProxy>(channel, 10 + i));
        ASSERT_TRUE(pipeline.add(proxies.back(), 1, Parcel()));
    }
    std::vector<uint32_t> serials;
    std::thread host([&] {
        std::vector<Request> calls;
        for (int i = 0; i < kCalls; ++i) calls.push_back(receiveRequest(peer));
        // Last first, each answered with its handle.
        for (int i = kCalls - 1; i >= 0; --i) {
            serials.push_back(calls[i].header.serial);
            answer(peer, calls[i], OK, i32(calls[i].header.object));
        }
        Request alone = receiveRequest(peer);
        serials.push_back(alone.header.serial);
        answer(peer, alone, OK, i32(99));
    });
    Parcel got;
    for (int i = 0; i < kCalls; ++i) {
        EXPECT_EQ(pipeline.takeOldest(&got), OK) << i;
        EXPECT_EQ(bytesOf(got), i32(10 + i)) << i;
    }
    EXPECT_EQ(proxies[0]->sendTransaction(1, Parcel(), &got, 0), OK);
    EXPECT_EQ(bytesOf(got), i32(99));
    host.join();
    EXPECT_EQ(serials, (std::vector<uint32_t>{2, 1, 0, 0xFFFFFFFFu, 0xFFFFFFFEu, 3}));
}

TEST_F(ProxyFixture, ARequestWhoseBuildingFailedSendsNothing) {
    Parcel request;
    request.writeInt32(1);
    Bytes big(kMaxParcelSize, 0);
    ASSERT_EQ(request.write(big.data(), big.size()), -EMSGSIZE);
    Parcel got;
    got.writeInt32(1);
    EXPECT_EQ(proxy->sendTransaction(1, request, &got, 0), -EMSGSIZE);
    EXPECT_EQ(got.dataSize(), 0u);
    CallPipeline pipeline(1);
    ASSERT_TRUE(pipeline.add(proxy, 1, request));
    EXPECT_EQ(pipeline.takeOldest(&got), -EMSGSIZE);
    EXPECT_TRUE(readAvailable(peer(), 0).empty());
    EXPECT_TRUE(proxy->isAlive());
}

TEST_F(ProxyFixture, ARequestOverTheLimitSendsNothing) {
    Parcel request;
    ParcelAccess::resizeForReceive(request, kMaxParcelSize + 4);
    Parcel got;
    got.writeInt32(1);
    EXPECT_EQ(proxy->sendTransaction(1, request, &got, 0), -EMSGSIZE);
    EXPECT_EQ(got.dataSize(), 0u);
    EXPECT_TRUE(readAvailable(peer(), 0).empty());
    EXPECT_TRUE(proxy->isAlive()) << "nothing was sent, so the channel is still in step";
}

TEST_F(ProxyFixture, ARequestOfExactlyTheLimitTravels) {
    Parcel request;
    ParcelAccess::resizeForReceive(request, kMaxParcelSize);
    Request seen;
    std::thread fake([&] {
        seen = receiveRequest(peer());
        answer(peer(), seen, OK, {});
    });
    EXPECT_EQ(proxy->sendTransaction(1, request, nullptr, 0), OK);
    fake.join();
    EXPECT_EQ(seen.payload.dataSize(), kMaxParcelSize);
}

TEST(ProxyTimeouts, APeerThatDoesNotReadABigRequestTimesOutOneWayOrNot) {
    for (uint32_t flags : {0u, FLAG_ONEWAY}) {
        SocketPair pair = makeSocketPair();
        sp<ObjectProxy> proxy = proxyOn(std::move(pair.a), kShortMs, 5);
        Parcel request;
        ParcelAccess::resizeForReceive(request, kMaxParcelSize);
        auto start = Clock::now();
        EXPECT_EQ(proxy->sendTransaction(1, request, nullptr, flags), -ETIMEDOUT) << flags;
        // A guard against a hang, twenty times the bound: without it the send waits for ever.
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(3000));
        EXPECT_FALSE(proxy->isAlive());
    }
}

}  // namespace
}  // namespace zorlek::test
