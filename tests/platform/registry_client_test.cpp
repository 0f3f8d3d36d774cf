// RegistryClient against a fake registry played by hand on a real listening socket: the
// handshake and its failures, lookups that hand over a channel, and connecting afresh
// after a failed request.

#include <gtest/gtest.h>

#include "tests/platform/fake_registry.h"
namespace zorlek::test {
namespace {
TEST_F(ClientFixture, NoSocketMeansNoServiceManager) {
    auto start = Clock::now();
    EXPECT_FALSE(RegistryClient::connect(path.c_str(), kShortMs));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(kShortMs));
}

TEST_F(ClientFixture, AStaleSocketFileMeansNoServiceManager) {
    { unique_fd gone = bindUnixSocket(path, true); }
    EXPECT_FALSE(RegistryClient::connect(path.c_str(), kShortMs));
}

TEST_F(ClientFixture, AWrongHandshakeMeansNoServiceManager) {
    struct Case {
        const char* what;
        MessageHeader answer;
    };
    const Case cases[] = {
        {"wrong magic", {MSG_HELLO, kProtocolMagic + 1, OK, 0}},
        {"refusal", {MSG_HELLO, kProtocolMagic, -EPROTO, 0}},
        {"wrong type", {MSG_LIST_REPLY, kProtocolMagic, OK, 0}},
        {"oversized", {MSG_HELLO, kProtocolMagic, OK, 8}},
    };
    for (const Case& c : cases) {
        ::unlink(path.c_str());
        FakeRegistry fake(path, [&](int fd, int) {
            receive(fd);
            sendRaw(fd, header(c.answer.type, c.answer.code, c.answer.value, c.answer.size));
            readAvailable(fd, 300);
        });
        EXPECT_FALSE(RegistryClient::connect(path.c_str(), kShortMs)) << c.what;
    }
}

TEST_F(ClientFixture, ASilentPeerMeansNoServiceManagerWithinTheBound) {
    FakeRegistry fake(path, [](int fd, int) { readAvailable(fd, 1000); });
    auto start = Clock::now();
    EXPECT_FALSE(RegistryClient::connect(path.c_str(), kShortMs));
    auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(kShortMs - 5));
    EXPECT_LT(took, std::chrono::milliseconds(900));
}

TEST_F(ClientFixture, LookupHandsOverAWorkingChannel) {
    Incoming asked;
    FakeRegistry fake(path, [&](int fd, int) {
        if (!answerHello(fd)) return;
        asked = receive(fd);
        SocketPair channel = makeSocketPair();
        reply(fd, MSG_LOOKUP_REPLY, OK, Parcel(), channel.a.get());
        // Play the hosting process on the other end for one call.
        Incoming call = receive(channel.b.get());
        Parcel answer;
        answer.writeInt32(static_cast<int32_t>(call.header.code));
        sendMessage(channel.b.get(), {MSG_REPLY, call.header.code, OK, 0}, answer.data(),
                    answer.dataSize(), -1, 2000);
    });
    sp<RegistryClient> client = RegistryClient::connect(path.c_str(), 2000);
    ASSERT_TRUE(client);
    sp<IBinder> object = client->lookupService(String16("some.name"));
    ASSERT_TRUE(object);
    Parcel got;
    EXPECT_EQ(object->sendTransaction(77, Parcel(), &got, 0), OK);
    int32_t code = 0;
    EXPECT_EQ(got.readInt32(&code), OK);
    EXPECT_EQ(code, 77);
    EXPECT_EQ(asked.header.type, uint32_t{MSG_LOOKUP});
    EXPECT_EQ(asked.payload.readString16(), String16("some.name"));
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
        {"success without a channel", OK, false, -EBADMSG},
        {"a positive status", 3, false, -EBADMSG},
    };
    for (const Case& c : cases) {
        ::unlink(path.c_str());
        FakeRegistry fake(path, [&](int fd, int) {
            if (!answerHello(fd)) return;
            receive(fd);
            reply(fd, MSG_LOOKUP_REPLY, c.value);
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
        FakeRegistry fake(path, [&](int fd, int) {
            if (!answerHello(fd)) return;
            bytesAfterHello = readAvailable(fd, 300).size();
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
    // turn, then hangs up; the names after the failed one are asked again on a new
    // connection. Each channel holds a reply ready for the client, marked with its answer.
    std::vector<String16> asked;
    std::vector<unique_fd> hostEnds;
    FakeRegistry fake(
        path,
        [&](int fd, int index) {
            if (!answerHello(fd)) return;
            // The lookups come together: read them as a stream.
            MessageReader reader(4096, kMaxParcelSize);
            Message in;
            for (int i = 0; i < (index == 0 ? 6 : 1); ++i) {
                while (reader.next(&in) != 1) {
                    pollfd p{fd, POLLIN, 0};
                    if (::poll(&p, 1, 2000) != 1 || reader.fill(fd) <= 0) return;
                }
                asked.push_back(in.payload.readString16());
            }
            // The second connection refuses n6 for a backlog, then serves it asked alone.
            if (index == 1) {
                reply(fd, MSG_LOOKUP_REPLY, -EAGAIN);
                asked.push_back(receive(fd).payload.readString16());
            }
            for (int i = 0; i < (index == 0 ? 4 : 1); ++i) {
                int mark = index == 0 ? i : 11;
                if (mark % 2 == 0) {
                    reply(fd, MSG_LOOKUP_REPLY, -ENOENT);
                    continue;
                }
                SocketPair channel = makeSocketPair();
                sendMessage(channel.b.get(), {MSG_REPLY, 1, OK, 0}, i32(mark).data(), 4, -1, 2000);
                reply(fd, MSG_LOOKUP_REPLY, OK, Parcel(), channel.a.get());
                hostEnds.push_back(std::move(channel.b));
            }
        },
        2);
    sp<RegistryClient> client = RegistryClient::connect(path.c_str(), 2000);
    ASSERT_TRUE(client);
    std::vector<String16> names;
    for (const char* n : {"n0", "n1", "n2", "n3", "", "n5", "n6"}) names.push_back(String16(n));
    std::vector<sp<IBinder>> found(names.size());
    client->lookupServices(names.data(), names.size(), found.data());
    std::vector<int> marks;
    for (const sp<IBinder>& object : found) {
        Parcel got;
        int32_t mark = -1;
        if (object && object->sendTransaction(1, Parcel(), &got, 0) == OK) got.readInt32(&mark);
        marks.push_back(mark);
    }
    // n5 failed with the first connection; the empty name is never asked.
    EXPECT_EQ(marks, (std::vector<int>{-1, 1, -1, 3, -1, -1, 11}));
    EXPECT_EQ(asked, (std::vector<String16>{String16("n0"), String16("n1"), String16("n2"),
                                            String16("n3"), String16("n5"), String16("n6"),
                                            String16("n6"), String16("n6")}));
}

TEST_F(ClientFixture, ConnectsAfreshAfterAFailedRequest) {
    FakeRegistry fake(
        path,
        [&](int fd, int index) {
            if (!answerHello(fd)) return;
            receive(fd);
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
    FakeRegistry fake(path, [&](int fd, int) {
        if (!answerHello(fd)) return;
        readAvailable(fd, 1500);
    });
    sp<RegistryClient> client = RegistryClient::connect(path.c_str(), kShortMs);
    ASSERT_TRUE(client);
    auto start = Clock::now();
    sp<IBinder> object;
    EXPECT_EQ(client->lookup(String16("x"), &object), -ETIMEDOUT);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));
}

}  // namespace
}  // namespace zorlek::test
