// SPDX-License-Identifier: Apache-2.0
// The event-loop reader: several messages from one read, a message arriving byte by
// byte, payloads larger than its buffer, malformed headers, and which message a received
// descriptor belongs to.

#include <gtest/gtest.h>

#include <thread>

#include "platform/transport/message_reader.h"
#include "tests/platform/socket_helpers.h"

namespace zorlek::test {
namespace {

Bytes pattern(size_t size, uint8_t seed) {
    Bytes out(size);
    for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(i * 13 + seed);
    return out;
}

Bytes message(uint32_t type, uint32_t code, const Bytes& payload) {
    return cat({header(type, code, 0, static_cast<uint32_t>(payload.size())), payload});
}

// Fills until a message is complete or the peer stops; the message count taken, or the
// failure of a fill or a take.
int drain(MessageReader& reader, int fd, std::vector<Message>* out, int fills = 100) {
    int taken = 0;
    for (int i = 0; i < fills; ++i) {
        Message m;
        int got;
        while ((got = reader.next(&m)) == 1) {
            out->push_back(std::move(m));
            ++taken;
        }
        if (got < 0) return got;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) != 1) break;
        ssize_t n = reader.fill(fd);
        if (n < 0 && n != -EAGAIN) return static_cast<int>(n);
        if (n <= 0) break;
    }
    return taken;
}

TEST(MessageReader, TakesSeveralMessagesFromOneRead) {
    SocketPair pair = makeSocketPair();
    Bytes all = cat({message(MSG_TRANSACT, 1, pattern(8, 1)), message(MSG_TRANSACT, 2, {}),
                     message(MSG_TRANSACT, 3, pattern(64, 3))});
    ASSERT_EQ(sendRaw(pair.a.get(), all), ssize_t(all.size()));
    MessageReader reader(4096, kMaxParcelSize);
    ASSERT_EQ(reader.fill(pair.b.get()), ssize_t(all.size()));
    Message m;
    ASSERT_EQ(reader.next(&m), 1);
    EXPECT_EQ(m.header.code, 1u);
    EXPECT_EQ(bytesOf(m.payload.data(), m.payload.dataSize()), pattern(8, 1));
    ASSERT_EQ(reader.next(&m), 1);
    EXPECT_EQ(m.header.code, 2u);
    EXPECT_EQ(m.payload.dataSize(), 0u);
    ASSERT_EQ(reader.next(&m), 1);
    EXPECT_EQ(m.header.code, 3u);
    EXPECT_EQ(bytesOf(m.payload.data(), m.payload.dataSize()), pattern(64, 3));
    EXPECT_EQ(reader.next(&m), 0);
    EXPECT_FALSE(reader.midMessage());
    EXPECT_EQ(reader.fill(pair.b.get()), -EAGAIN);
}

TEST(MessageReader, AssemblesAMessageSentByteByByte) {
    SocketPair pair = makeSocketPair();
    Bytes bytes = message(MSG_TRANSACT, 9, pattern(12, 5));
    MessageReader reader(4096, kMaxParcelSize);
    Message m;
    for (size_t i = 0; i < bytes.size(); ++i) {
        ASSERT_EQ(reader.next(&m), 0) << i;
        EXPECT_EQ(reader.midMessage(), i > 0);
        ASSERT_EQ(sendRaw(pair.a.get(), Bytes{bytes[i]}), 1);
        ASSERT_EQ(reader.fill(pair.b.get()), 1);
    }
    ASSERT_EQ(reader.next(&m), 1);
    EXPECT_EQ(m.header.code, 9u);
    EXPECT_EQ(bytesOf(m.payload.data(), m.payload.dataSize()), pattern(12, 5));
}

TEST(MessageReader, ReceivesPayloadsLargerThanItsBuffer) {
    SocketPair pair = makeSocketPair();
    Bytes big = pattern(kMaxParcelSize, 7);
    Bytes all = cat({message(MSG_TRANSACT, 1, big), message(MSG_TRANSACT, 2, pattern(16, 2)),
                     message(MSG_TRANSACT, 3, pattern(3000, 9))});
    std::thread writer([&] {
        size_t sent = 0;
        while (sent < all.size()) {
            ssize_t n = ::send(pair.a.get(), all.data() + sent, all.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<size_t>(n);
        }
    });
    MessageReader reader(1024, kMaxParcelSize);
    std::vector<Message> got;
    int status = drain(reader, pair.b.get(), &got, 100000);
    writer.join();
    ASSERT_EQ(status, 3);
    EXPECT_EQ(got[0].header.code, 1u);
    EXPECT_TRUE(bytesOf(got[0].payload.data(), got[0].payload.dataSize()) == big);
    EXPECT_EQ(got[1].header.code, 2u);
    EXPECT_EQ(bytesOf(got[1].payload.data(), got[1].payload.dataSize()), pattern(16, 2));
    EXPECT_EQ(got[2].header.code, 3u);
    EXPECT_EQ(bytesOf(got[2].payload.data(), got[2].payload.dataSize()), pattern(3000, 9));
}

TEST(MessageReader, RefusesMalformedHeaders) {
    struct Case {
        const char* what;
        Bytes bytes;
        size_t limit;
        int expected;
    };
    const Case cases[] = {
        {"over the reader's limit", header(MSG_LOOKUP, 0, 0, 4100), 4096, -EMSGSIZE},
        {"over the parcel limit", header(MSG_TRANSACT, 0, 0, kMaxParcelSize + 4), kMaxParcelSize,
         -EMSGSIZE},
        {"size 0xFFFFFFFC", header(MSG_TRANSACT, 0, 0, 0xFFFFFFFC), kMaxParcelSize, -EMSGSIZE},
        {"size not a multiple of 4", header(MSG_TRANSACT, 0, 0, 5), kMaxParcelSize, -EBADMSG},
    };
    for (const Case& c : cases) {
        SocketPair pair = makeSocketPair();
        ASSERT_EQ(sendRaw(pair.a.get(), c.bytes), ssize_t(c.bytes.size()));
        MessageReader reader(4096, c.limit);
        ASSERT_GT(reader.fill(pair.b.get()), 0);
        Message m;
        EXPECT_EQ(reader.next(&m), c.expected) << c.what;
    }
}

TEST(MessageReader, ReportsTheEndAndAnUnfinishedMessage) {
    SocketPair pair = makeSocketPair();
    Bytes half = header(MSG_TRANSACT, 0, 0, 8);
    half.resize(10);
    ASSERT_EQ(sendRaw(pair.a.get(), half), 10);
    pair.a.reset();
    MessageReader reader(4096, kMaxParcelSize);
    ASSERT_EQ(reader.fill(pair.b.get()), 10);
    Message m;
    EXPECT_EQ(reader.next(&m), 0);
    EXPECT_TRUE(reader.midMessage());
    EXPECT_EQ(reader.fill(pair.b.get()), 0);
}

TEST(MessageReader, AFullBufferOfUntakenMessagesIsNotAnEnd) {
    SocketPair pair = makeSocketPair();
    Bytes all;
    for (int i = 0; i < 8; ++i) all = cat({all, message(MSG_TRANSACT, i, {})});
    ASSERT_EQ(sendRaw(pair.a.get(), all), ssize_t(all.size()));
    MessageReader reader(64, kMaxParcelSize);
    ASSERT_EQ(reader.fill(pair.b.get()), 64);
    EXPECT_EQ(reader.fill(pair.b.get()), -ENOBUFS);
    std::vector<Message> got;
    EXPECT_EQ(drain(reader, pair.b.get(), &got), 8);
}

TEST(MessageReader, ADescriptorGoesToTheMessageItCameWith) {
    SocketPair pair = makeSocketPair();
    Pipe first = makePipe();
    Pipe second = makePipe();
    Bytes refused = message(MSG_LOOKUP_REPLY, 0, {});
    Bytes channelA = message(MSG_CHANNEL, 1, pattern(8, 1));
    Bytes reply = message(MSG_REGISTER_REPLY, 2, {});
    Bytes channelB = message(MSG_CHANNEL, 3, pattern(8, 3));
    // Sent as four sends, as a sender that attaches each descriptor to its message does.
    // One receive takes the first three together: a refused lookup, of a type that may
    // carry a descriptor but was sent without one, must not take the channel's.
    ASSERT_GT(sendRaw(pair.a.get(), refused), 0);
    ASSERT_GT(sendRaw(pair.a.get(), reply), 0);
    ASSERT_GT(sendRaw(pair.a.get(), channelA, {first.write.get()}), 0);
    ASSERT_GT(sendRaw(pair.a.get(), channelB, {second.write.get()}), 0);
    first.write.reset();
    second.write.reset();
    MessageReader reader(4096, kMaxRegistryRequest);
    std::vector<Message> got;
    ASSERT_EQ(drain(reader, pair.b.get(), &got), 4);
    EXPECT_FALSE(got[0].fd.valid()) << "the refused lookup carries none";
    EXPECT_FALSE(got[1].fd.valid()) << "the reply carries none";
    ASSERT_TRUE(got[2].fd.valid());
    ASSERT_TRUE(got[3].fd.valid());
    // Each descriptor is the one its own message was sent with.
    ASSERT_EQ(::write(got[2].fd.get(), "1", 1), 1);
    ASSERT_EQ(::write(got[3].fd.get(), "2", 1), 1);
    char c = 0;
    EXPECT_EQ(::read(first.read.get(), &c, 1), 1);
    EXPECT_EQ(c, '1');
    EXPECT_EQ(::read(second.read.get(), &c, 1), 1);
    EXPECT_EQ(c, '2');
    got.clear();
    EXPECT_TRUE(first.allWritersClosed());
    EXPECT_TRUE(second.allWritersClosed());
}

// A descriptor where none belongs is a peer not speaking the protocol: the bytes are
// malformed, and the descriptors are closed (off this thread), whatever came before.
TEST(MessageReader, DescriptorsWhereNoneBelongAreMalformedAndClosed) {
    struct Case {
        const char* what;
        uint32_t type;
        int count;
        // Messages handed out before the one that fails.
        int before;
    };
    const Case cases[] = {
        {"one on a transaction", MSG_TRANSACT, 1, 0},
        {"one on a reply", MSG_REGISTER_REPLY, 1, 0},
        {"three on a transaction", MSG_TRANSACT, 3, 0},
        {"three on a channel", MSG_CHANNEL, 3, 0},
        {"two on a lookup's answer", MSG_LOOKUP_REPLY, 2, 0},
        {"one on a transaction after a good one", MSG_TRANSACT, -1, 1},
    };
    for (const Case& c : cases) {
        SocketPair pair = makeSocketPair();
        Pipe pipe = makePipe();
        int w = pipe.write.get();
        Bytes bytes = message(c.type, 0, pattern(4, 0));
        if (c.count < 0) {
            ASSERT_GT(sendRaw(pair.a.get(), bytes), 0);
        }
        if (c.count == 1 || c.count < 0) {
            ASSERT_GT(sendRaw(pair.a.get(), bytes, {w}), 0);
        } else if (c.count == 2) {
            ASSERT_GT(sendRaw(pair.a.get(), bytes, {w, w}), 0);
        } else {
            ASSERT_GT(sendRaw(pair.a.get(), bytes, {w, w, w}), 0);
        }
        pipe.write.reset();
        MessageReader reader(4096, kMaxParcelSize);
        std::vector<Message> got;
        Message m;
        int status = 0;
        for (int fills = 0; fills < 4 && status >= 0; ++fills) {
            ssize_t n = reader.fill(pair.b.get());
            if (n < 0) status = static_cast<int>(n);
            while (status >= 0 && (status = reader.next(&m)) == 1) got.push_back(std::move(m));
        }
        EXPECT_EQ(status, -EBADMSG) << c.what;
        EXPECT_EQ(static_cast<int>(got.size()), c.before) << c.what;
        for (const Message& taken : got) EXPECT_FALSE(taken.fd.valid()) << c.what;
        reader = MessageReader(4096, kMaxParcelSize);
        EXPECT_TRUE(pipe.allWritersClosed()) << c.what;
    }
}

TEST(MessageReader, DescriptorsInsideALargePayloadAreMalformed) {
    SocketPair pair = makeSocketPair();
    Pipe pipe = makePipe();
    Bytes payload = pattern(8192, 1);
    Bytes head = header(MSG_CHANNEL, 0, 0, 8192);
    MessageReader reader(256, kMaxParcelSize);
    ASSERT_GT(sendRaw(pair.a.get(), cat({head, Bytes(payload.begin(), payload.begin() + 512)})), 0);
    Message m;
    ASSERT_GT(reader.fill(pair.b.get()), 0);
    ASSERT_EQ(reader.next(&m), 0);
    // A descriptor sent with bytes in the middle of the payload has no message of its own.
    ASSERT_GT(
        sendRaw(pair.a.get(), Bytes(payload.begin() + 512, payload.end()), {pipe.write.get()}), 0);
    pipe.write.reset();
    std::vector<Message> got;
    EXPECT_EQ(drain(reader, pair.b.get(), &got), -EBADMSG);
    EXPECT_TRUE(got.empty());
    EXPECT_TRUE(pipe.allWritersClosed());
}

// A descriptor sent with the middle of a message: no message begins in its bytes.
TEST(MessageReader, ADescriptorWithTheMiddleOfAMessageIsMalformed) {
    SocketPair pair = makeSocketPair();
    Pipe pipe = makePipe();
    Bytes bytes = message(MSG_CHANNEL, 0, pattern(64, 2));
    MessageReader reader(4096, kMaxParcelSize);
    ASSERT_EQ(sendRaw(pair.a.get(), Bytes(bytes.begin(), bytes.begin() + 20)), 20);
    ASSERT_EQ(reader.fill(pair.b.get()), 20);
    ASSERT_GT(sendRaw(pair.a.get(), Bytes(bytes.begin() + 20, bytes.end()), {pipe.write.get()}), 0);
    pipe.write.reset();
    std::vector<Message> got;
    EXPECT_EQ(drain(reader, pair.b.get(), &got), -EBADMSG);
    EXPECT_TRUE(got.empty());
    reader = MessageReader(4096, kMaxParcelSize);
    EXPECT_TRUE(pipe.allWritersClosed());
}

TEST(MessageReader, APeerSendingOnlyDescriptorsIsMalformed) {
    SocketPair pair = makeSocketPair();
    Pipe pipe = makePipe();
    Bytes head = header(MSG_TRANSACT, 0, 0, 64);
    MessageReader reader(4096, kMaxParcelSize);
    ssize_t last = 0;
    // One byte at a time, each with a descriptor: no message ever claims them.
    for (size_t i = 0; i < head.size() && last >= 0; ++i) {
        ASSERT_EQ(sendRaw(pair.a.get(), Bytes{head[i]}, {pipe.write.get()}), 1);
        last = reader.fill(pair.b.get());
    }
    EXPECT_EQ(last, -EBADMSG);
}

}  // namespace
}  // namespace zorlek::test
