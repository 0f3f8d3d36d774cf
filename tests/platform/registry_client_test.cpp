// SPDX-License-Identifier: Apache-2.0
// RegistryClient against a fake registry played by hand on a real listening socket: the
// handshake and its failures, lookups that hand over a channel or reuse one, releases,
// and connecting afresh after a failed request.

#include <gtest/gtest.h>

#include "tests/platform/fake_registry.h"
namespace zorlek::test {
namespace {
TEST_F(ClientFixture, NoSocketMeansNoServiceManager) {
    auto start = Clock::now();
    EXPECT_FALSE(RegistryClient::connect(path.c_str(), kLongMs));
    // A guard: failing at once takes a few milliseconds; waiting for the socket to appear
    // would take the whole bound of 10 s.
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(kLongMs / 2))
        << "it waited for a socket that is not there";
}

TEST_F(ClientFixture, AStaleSocketFileMeansNoServiceManager) {
    { unique_fd gone = bindUnixSocket(path, true); }
    EXPECT_FALSE(RegistryClient::connect(path.c_str(), kShortMs));
}

TEST_F(ClientFixture, AWrongHandshakeMeansNoServiceManager) {
    struct Case {
        const char* what;
        MessageHeader answer;
        status_t expected;
    };
    const uint32_t v = kProtocolVersion;
    const Case cases[] = {
        {"wrong magic", {MSG_HELLO, kProtocolMagic + 1, OK, 0, 0, v}, -EPROTO},
        {"refusal", {MSG_HELLO, kProtocolMagic, -EUSERS, 0, 0, v}, -EUSERS},
        {"refused for its version",
         {MSG_HELLO, kProtocolMagic, -EPROTONOSUPPORT, 0, 0, v + 1},
         -EPROTONOSUPPORT},
        {"a registry of an older major version",
         {MSG_HELLO, kProtocolMagic, OK, 0, 0, 3},
         -EPROTONOSUPPORT},
        {"a registry of a newer major version",
         {MSG_HELLO, kProtocolMagic, OK, 0, 0, v + 1},
         -EPROTONOSUPPORT},
        {"wrong type", {MSG_LIST_REPLY, kProtocolMagic, OK, 0, 0, v}, -EPROTO},
        {"oversized", {MSG_HELLO, kProtocolMagic, OK, kMaxRegistryRequest + 4, 0, v}, -EPROTO},
    };
    for (const Case& c : cases) {
        ::unlink(path.c_str());
        PlayedRegistry fake(path, [&](int fd, int) {
            receiveRequest(fd);
            sendRaw(fd, header(c.answer.type, c.answer.code, c.answer.value, c.answer.size, 0,
                               c.answer.object));
            readAvailable(fd, 300);
        });
        unique_fd sock;
        EXPECT_EQ(connectToRegistry(path.c_str(), kShortMs, &sock), c.expected) << c.what;
        EXPECT_FALSE(sock.valid()) << c.what;
    }
}

TEST_F(ClientFixture, ASilentPeerMeansNoServiceManagerWithinTheBound) {
    // Silent until the client hangs up.
    PlayedRegistry fake(path, [](int fd, int) { readAvailable(fd, kLongMs); });
    auto start = Clock::now();
    EXPECT_FALSE(RegistryClient::connect(path.c_str(), kShortMs));
    auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(kShortMs - 5));
    // A guard, ten times the bound: without it the client would wait for the peer.
    EXPECT_LT(took, std::chrono::milliseconds(10 * kShortMs));
}

TEST_F(ClientFixture, LookupsOfOneHostShareTheChannelTheFirstBrought) {
    std::vector<Request> asked;
    std::vector<Request> calls;
    Request afterRelease;
    bool channelClosed = false;
    PlayedRegistry fake(path, [&](int fd, int) {
        if (!answerHello(fd)) return;
        SocketPair channel = makeSocketPair();
        asked.push_back(receiveRequest(fd));
        lookupReply(fd, 0x100000005, 9, channel.a.get());
        channel.a.reset();
        asked.push_back(receiveRequest(fd));
        lookupReply(fd, 0x100000005, 4);
        // Play the host on the other end: one call to each object.
        for (int i = 0; i < 2; ++i) {
            calls.push_back(receiveRequest(channel.b.get()));
            answer(channel.b.get(), calls.back(), OK, i32(calls.back().header.object));
        }
        // Both proxies gone, the channel closes, and the next request says so first.
        channelClosed = receiveRequest(channel.b.get()).status == -EPIPE;
        afterRelease = receiveRequest(fd);
        asked.push_back(receiveRequest(fd));
        reply(fd, MSG_LOOKUP_REPLY, -ENOENT);
    });
    sp<RegistryClient> client = RegistryClient::connect(path.c_str(), 2000);
    ASSERT_TRUE(client);
    sp<IBinder> first = client->lookupService(String16("first"));
    sp<IBinder> second = client->lookupService(String16("second"));
    ASSERT_TRUE(first && second);
    EXPECT_EQ(static_cast<ObjectProxy*>(first.get())->clientChannel(),
              static_cast<ObjectProxy*>(second.get())->clientChannel())
        << "one channel for both";
    Parcel got;
    EXPECT_EQ(first->sendTransaction(77, Parcel(), &got, 0), OK);
    EXPECT_EQ(bytesOf(got), i32(9));
    EXPECT_EQ(second->sendTransaction(78, Parcel(), &got, 0), OK);
    EXPECT_EQ(bytesOf(got), i32(4));
    first.reset();
    second.reset();
    EXPECT_FALSE(client->lookupService(String16("third")));
    ASSERT_EQ(asked.size(), 3u);
    EXPECT_EQ(asked[0].header.type, uint32_t{MSG_LOOKUP});
    EXPECT_EQ(asked[0].payload.readString16(), String16("first"));
    EXPECT_EQ(asked[1].payload.readString16(), String16("second"));
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].header.type, uint32_t{MSG_TRANSACT});
    EXPECT_EQ(calls[0].header.code, 77u);
    EXPECT_EQ(calls[0].header.object, 9u);
    EXPECT_EQ(calls[1].header.object, 4u);
    EXPECT_NE(calls[0].header.serial, calls[1].header.serial);
    EXPECT_TRUE(channelClosed);
    EXPECT_EQ(afterRelease.header.type, uint32_t{MSG_RELEASE});
    EXPECT_EQ(hostOf(afterRelease.header), 0x100000005u);
    EXPECT_EQ(asked[2].payload.readString16(), String16("third"));
}

TEST_F(ClientFixture, LookupAnswersThatGiveNoObject) {
    struct Case {
        const char* what;
        int32_t value;
        bool withFd;
        status_t expected;
    };
    const Case cases[] = {
        {"not found", -ENOENT, false, -ENOENT},
        {"registry out of descriptors", -EMFILE, false, -EMFILE},
        {"success for a host never introduced", OK, false, -EBADMSG},
        {"success naming no object", OK, true, -EBADMSG},
        {"a positive status", 3, false, -EBADMSG},
    };
    for (const Case& c : cases) {
        ::unlink(path.c_str());
        PlayedRegistry fake(path, [&](int fd, int) {
            if (!answerHello(fd)) return;
            receiveRequest(fd);
            SocketPair channel = makeSocketPair();
            // An answer that names object 0, the handle no object has.
            MessageHeader answer{MSG_LOOKUP_REPLY, 0, c.value, 0, 1, 0};
            sendMessage(fd, answer, nullptr, 0, c.withFd ? channel.a.get() : -1, 2000);
            readAvailable(fd, 200);
        });
        sp<RegistryClient> client = RegistryClient::connect(path.c_str(), 2000);
        ASSERT_TRUE(client) << c.what;
        sp<IBinder> object;
        EXPECT_EQ(client->lookup(String16("x"), &object), c.expected) << c.what;
        EXPECT_FALSE(object) << c.what;
    }
}

TEST_F(ClientFixture, NamesNoRegistryCouldHoldAreNotAsked) {
    size_t bytesAfterHello = 99;
    {
        PlayedRegistry fake(path, [&](int fd, int) {
            if (!answerHello(fd)) return;
            bytesAfterHello = readAvailable(fd, kLongMs).size();  // until the client hangs up
        });
        sp<RegistryClient> client = RegistryClient::connect(path.c_str(), 2000);
        ASSERT_TRUE(client);
        EXPECT_FALSE(client->lookupService(String16("")));
        EXPECT_FALSE(client->lookupService(String16(std::u16string(257, u'x'))));
        EXPECT_FALSE(client->lookupService(String16(std::u16string(600000, u'x'))));
    }
    EXPECT_EQ(bytesAfterHello, 0u);
}

TEST_F(ClientFixture, ABatchOfLookupsKeepsEachChannelWithItsAnswer) {
    // The first connection answers four of six lookups, without a channel and with one in
    // turn, then hangs up: the batch fails there, with the names answered kept. Asked
    // again on a new connection, a lookup refused for a busy host is asked again alone.
    // Each channel is to a host of its own and holds a reply ready for the client's first
    // call, marked with its answer.
    std::vector<String16> asked;
    std::vector<unique_fd> hostEnds;
    PlayedRegistry fake(
        path,
        [&](int fd, int index) {
            if (!answerHello(fd)) return;
            // The lookups come together: read them as a stream.
            MessageReader reader(4096, kMaxParcelSize);
            Message in;
            for (int i = 0; i < (index == 0 ? 6 : 2); ++i) {
                while (reader.next(&in) != 1) {
                    pollfd p{fd, POLLIN, 0};
                    if (::poll(&p, 1, 2000) != 1 || reader.fill(fd) <= 0) return;
                }
                asked.push_back(in.payload.readString16());
            }
            // The second connection answers n5 and refuses n6 for a backlog, then serves
            // it asked alone.
            if (index == 1) {
                reply(fd, MSG_LOOKUP_REPLY, -ENOENT);
                reply(fd, MSG_LOOKUP_REPLY, -EAGAIN);
                asked.push_back(receiveRequest(fd).payload.readString16());
            }
            for (int i = 0; i < (index == 0 ? 4 : 1); ++i) {
                int mark = index == 0 ? i : 11;
                if (mark % 2 == 0) {
                    reply(fd, MSG_LOOKUP_REPLY, -ENOENT);
                    continue;
                }
                SocketPair channel = makeSocketPair();
                sendMessage(channel.b.get(), {MSG_REPLY, 1, OK, 0, 1}, i32(mark).data(), 4, -1,
                            2000);
                lookupReply(fd, static_cast<uint64_t>(mark), 1, channel.a.get());
                hostEnds.push_back(std::move(channel.b));
            }
        },
        2);
    sp<RegistryClient> client = RegistryClient::connect(path.c_str(), 2000);
    ASSERT_TRUE(client);
    std::vector<String16> names;
    for (const char* n : {"n0", "n1", "n2", "n3", "", "n5", "n6"}) names.push_back(String16(n));
    std::vector<sp<IBinder>> found(names.size());
    size_t answered = 0;
    EXPECT_EQ(client->lookupServices(names.data(), names.size(), found.data(), &answered), -EPIPE);
    EXPECT_EQ(answered, 5u) << "four answers, and the empty name no registry holds";
    EXPECT_EQ(client->lookupServices(&names[5], 2, &found[5], &answered), OK);
    EXPECT_EQ(answered, 2u);
    std::vector<int> marks;
    for (const sp<IBinder>& object : found) {
        Parcel got;
        int32_t mark = -1;
        if (object && object->sendTransaction(1, Parcel(), &got, 0) == OK) got.readInt32(&mark);
        marks.push_back(mark);
    }
    // The empty name is never asked.
    EXPECT_EQ(marks, (std::vector<int>{-1, 1, -1, 3, -1, -1, 11}));
    EXPECT_EQ(asked, (std::vector<String16>{String16("n0"), String16("n1"), String16("n2"),
                                            String16("n3"), String16("n5"), String16("n6"),
                                            String16("n5"), String16("n6"), String16("n6")}));
}

TEST_F(ClientFixture, AnswersKeepInStepWhileTheClientPollsForThem) {
    // Answered at once, the lookups teach the client to poll for the next answer; each
    // third answer comes in two pieces, the last in half and then the registry hangs up.
    constexpr int kLookups = 60;
    PlayedRegistry fake(path, [&](int fd, int) {
        if (!answerHello(fd)) return;
        for (int i = 0; i <= kLookups; ++i) {
            if (receiveRequest(fd).status != OK) return;
            Bytes answer = header(MSG_LOOKUP_REPLY, 0, i % 2 == 0 ? -ENOENT : -EMFILE, 0);
            size_t split = i == kLookups ? answer.size() / 2 : i % 3 == 0 ? 7 : answer.size();
            sendRaw(fd, Bytes(answer.begin(), answer.begin() + static_cast<ptrdiff_t>(split)));
            if (i == kLookups) return;
            if (split < answer.size()) {
                sendRaw(fd, Bytes(answer.begin() + static_cast<ptrdiff_t>(split), answer.end()));
            }
        }
    });
    sp<RegistryClient> client = RegistryClient::connect(path.c_str(), 2000);
    ASSERT_TRUE(client);
    sp<IBinder> object;
    for (int i = 0; i < kLookups; ++i) {
        ASSERT_EQ(client->lookup(String16("x"), &object), i % 2 == 0 ? -ENOENT : -EMFILE) << i;
    }
    EXPECT_EQ(client->lookup(String16("x"), &object), -EPIPE);
}

TEST_F(ClientFixture, ConnectsAfreshAfterAFailedRequest) {
    PlayedRegistry fake(
        path,
        [&](int fd, int index) {
            if (!answerHello(fd)) return;
            receiveRequest(fd);
            if (index == 0) return;  // hangs up without answering
            reply(fd, MSG_LIST_REPLY, 0, page({u"after.restart"}));
        },
        2);
    sp<RegistryClient> client = RegistryClient::connect(path.c_str(), 2000);
    ASSERT_TRUE(client);
    Vector<String16> names;
    EXPECT_EQ(client->list(&names), -EPIPE);
    EXPECT_EQ(client->list(&names), OK);
    EXPECT_EQ(names, Vector<String16>{String16("after.restart")});
}

TEST_F(ClientFixture, ASilentRegistryTimesOutEachRequest) {
    PlayedRegistry fake(path, [&](int fd, int) {
        if (!answerHello(fd)) return;
        readAvailable(fd, kLongMs);  // silent until the client hangs up
    });
    sp<RegistryClient> client = RegistryClient::connect(path.c_str(), kShortMs);
    ASSERT_TRUE(client);
    auto start = Clock::now();
    sp<IBinder> object;
    EXPECT_EQ(client->lookup(String16("x"), &object), -ETIMEDOUT);
    // A guard, ten times the bound: without it the lookup would wait for the peer.
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(10 * kShortMs));
}

}  // namespace
}  // namespace zorlek::test
