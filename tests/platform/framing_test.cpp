// One message sent and received over a socket pair with the bounded client-side calls,
// and the same receive facing hostile bytes: truncated headers and payloads, sizes over
// the limit or not a multiple of 4, bytes beyond the message, descriptors where none
// belong and more descriptors than one.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/ipc/parcel.h"
#include "platform/transport/message_io.h"
#include "tests/platform/socket_helpers.h"

namespace zorlek::test {
namespace {

constexpr int kShortMs = 100;

Bytes pattern(size_t size) {
    Bytes out(size);
    for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(i * 7 + 3);
    return out;
}

TEST(WireHeader, EncodesFourLittleEndianWords) {
    Bytes bytes = header(0x01020304, 0xA0B0C0D0, -2, 16);
    EXPECT_EQ(bytes, (Bytes{0x04, 0x03, 0x02, 0x01, 0xD0, 0xC0, 0xB0, 0xA0, 0xFE, 0xFF, 0xFF, 0xFF,
                            0x10, 0x00, 0x00, 0x00}));
    MessageHeader back = decodeHeader(bytes.data());
    EXPECT_EQ(back.type, 0x01020304u);
    EXPECT_EQ(back.code, 0xA0B0C0D0u);
    EXPECT_EQ(back.value, -2);
    EXPECT_EQ(back.size, 16u);
}

TEST(WireHeader, ChecksSizeAgainstLimitAndAlignment) {
    struct Case {
        uint32_t size;
        size_t limit;
        status_t expected;
    };
    const Case cases[] = {
        {0, 0, OK},
        {4, 4, OK},
        {8, 4, -EMSGSIZE},
        {2, 4, -EBADMSG},
        {kMaxParcelSize, kMaxParcelSize, OK},
        {kMaxParcelSize + 4, kMaxParcelSize, -EMSGSIZE},
        {0xFFFFFFFF, kMaxParcelSize, -EMSGSIZE},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(checkHeader({MSG_REPLY, 0, 0, c.size}, c.limit), c.expected) << c.size;
    }
}

TEST(MessageIo, RoundTripsSmallAndLargePayloads) {
    for (size_t size : {size_t{0}, size_t{4}, kReceivePrealloc - 4, kReceivePrealloc,
                        kReceivePrealloc + 4, size_t{200000}, kMaxParcelSize}) {
        SocketPair pair = makeSocketPair();
        Bytes payload = pattern(size);
        status_t sent = -1;
        // Large payloads do not fit in the socket buffer: the sender waits for the reader.
        std::thread sender([&] {
            sent = sendMessage(pair.a.get(), {MSG_REPLY, 42, -5, 0}, payload.data(), payload.size(),
                               -1, 5000);
        });
        MessageHeader header;
        Parcel received;
        status_t status =
            receiveMessage(pair.b.get(), &header, &received, nullptr, kMaxParcelSize, 5000);
        sender.join();
        ASSERT_EQ(sent, OK) << size;
        ASSERT_EQ(status, OK) << size;
        EXPECT_EQ(header.type, uint32_t{MSG_REPLY});
        EXPECT_EQ(header.code, 42u);
        EXPECT_EQ(header.value, -5);
        EXPECT_EQ(header.size, size);
        EXPECT_EQ(bytesOf(received.data(), received.dataSize()), payload) << size;
        EXPECT_EQ(received.dataPosition(), 0u);
    }
}

TEST(MessageIo, BackToBackMessagesSentSeparatelyAreReceivedOneByOne) {
    SocketPair pair = makeSocketPair();
    ASSERT_EQ(sendMessage(pair.a.get(), {MSG_REPLY, 1, 0, 0}, nullptr, 0, -1, kShortMs), OK);
    MessageHeader header;
    Parcel received;
    ASSERT_EQ(receiveMessage(pair.b.get(), &header, &received, nullptr, kMaxParcelSize, kShortMs),
              OK);
    EXPECT_EQ(header.code, 1u);
    Bytes four = pattern(4);
    ASSERT_EQ(sendMessage(pair.a.get(), {MSG_REPLY, 2, 0, 0}, four.data(), 4, -1, kShortMs), OK);
    ASSERT_EQ(receiveMessage(pair.b.get(), &header, &received, nullptr, kMaxParcelSize, kShortMs),
              OK);
    EXPECT_EQ(header.code, 2u);
    EXPECT_EQ(received.dataSize(), 4u);
}

struct HostileCase {
    const char* what;
    Bytes bytes;
    bool closeAfter;
    status_t expected;
};

TEST(MessageIo, ReceiveRefusesHostileBytes) {
    Bytes fullHeader = header(MSG_REPLY, 0, 0, 8);
    const HostileCase cases[] = {
        {"nothing, then close", {}, true, -EPIPE},
        {"nothing, peer stays", {}, false, -ETIMEDOUT},
        {"7 header bytes, then close", Bytes(fullHeader.begin(), fullHeader.begin() + 7), true,
         -EPIPE},
        {"7 header bytes, peer stays", Bytes(fullHeader.begin(), fullHeader.begin() + 7), false,
         -ETIMEDOUT},
        {"header, half the payload, then close", cat({fullHeader, pattern(4)}), true, -EPIPE},
        {"header, half the payload, peer stays", cat({fullHeader, pattern(4)}), false, -ETIMEDOUT},
        {"size over the limit", header(MSG_REPLY, 0, 0, kMaxParcelSize + 4), false, -EMSGSIZE},
        {"size 0xFFFFFFFF", header(MSG_REPLY, 0, 0, 0xFFFFFFFF), false, -EMSGSIZE},
        {"size not a multiple of 4", cat({header(MSG_REPLY, 0, 0, 6), pattern(8)}), false,
         -EBADMSG},
        {"bytes beyond the message", cat({header(MSG_REPLY, 0, 0, 4), pattern(12)}), false,
         -EBADMSG},
        {"a second message right behind",
         cat({header(MSG_REPLY, 0, 0, 0), header(MSG_REPLY, 1, 0, 0)}), false, -EBADMSG},
    };
    for (const HostileCase& c : cases) {
        SocketPair pair = makeSocketPair();
        if (!c.bytes.empty()) {
            ASSERT_EQ(sendRaw(pair.a.get(), c.bytes), ssize_t(c.bytes.size()));
        }
        if (c.closeAfter) pair.a.reset();
        MessageHeader header;
        Parcel received;
        ASSERT_EQ(received.writeInt32(99), OK);
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(
            receiveMessage(pair.b.get(), &header, &received, nullptr, kMaxParcelSize, kShortMs),
            c.expected)
            << c.what;
        auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(received.dataSize(), 0u) << c.what << ": the payload is empty after a failure";
        if (c.expected == -ETIMEDOUT) {
            EXPECT_GE(took, std::chrono::milliseconds(kShortMs - 5)) << c.what;
        }
        EXPECT_LT(took, std::chrono::milliseconds(2000)) << c.what;
    }
}

TEST(MessageIo, ReceiveLimitIsTheCallersLimit) {
    SocketPair pair = makeSocketPair();
    Bytes bytes = cat({header(MSG_HELLO, 0, 0, 8), pattern(8)});
    ASSERT_EQ(sendRaw(pair.a.get(), bytes), ssize_t(bytes.size()));
    MessageHeader header;
    Parcel received;
    EXPECT_EQ(receiveMessage(pair.b.get(), &header, &received, nullptr, 4, kShortMs), -EMSGSIZE);
}

TEST(MessageIo, DescriptorOnAMessageThatCarriesOneIsHandedOut) {
    SocketPair pair = makeSocketPair();
    Pipe pipe = makePipe();
    ASSERT_EQ(sendMessage(pair.a.get(), {MSG_LOOKUP_REPLY, 0, 0, 0}, nullptr, 0, pipe.write.get(),
                          kShortMs),
              OK);
    pipe.write.reset();
    MessageHeader header;
    Parcel received;
    unique_fd passed;
    ASSERT_EQ(receiveMessage(pair.b.get(), &header, &received, &passed, kMaxParcelSize, kShortMs),
              OK);
    ASSERT_TRUE(passed.valid());
    EXPECT_FALSE(pipe.allWritersClosed());
    EXPECT_EQ(::fcntl(passed.get(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC) << "close-on-exec";
    ASSERT_EQ(::write(passed.get(), "x", 1), 1);
    char c = 0;
    EXPECT_EQ(::read(pipe.read.get(), &c, 1), 1);
    passed.reset();
    EXPECT_TRUE(pipe.allWritersClosed());
}

TEST(MessageIo, DescriptorOnAMessageThatCarriesNoneIsClosed) {
    SocketPair pair = makeSocketPair();
    Pipe pipe = makePipe();
    ASSERT_EQ(sendRaw(pair.a.get(), header(MSG_REPLY, 0, 0, 0), {pipe.write.get()}), 16);
    pipe.write.reset();
    MessageHeader header;
    Parcel received;
    unique_fd passed;
    ASSERT_EQ(receiveMessage(pair.b.get(), &header, &received, &passed, kMaxParcelSize, kShortMs),
              OK);
    EXPECT_FALSE(passed.valid());
    EXPECT_TRUE(pipe.allWritersClosed());
}

TEST(MessageIo, DescriptorsOnAFailedReceiveAreClosed) {
    SocketPair pair = makeSocketPair();
    Pipe pipe = makePipe();
    ASSERT_EQ(sendRaw(pair.a.get(), header(MSG_LOOKUP_REPLY, 0, 0, kMaxParcelSize + 4),
                      {pipe.write.get()}),
              16);
    pipe.write.reset();
    MessageHeader header;
    Parcel received;
    unique_fd passed;
    EXPECT_EQ(receiveMessage(pair.b.get(), &header, &received, &passed, kMaxParcelSize, kShortMs),
              -EMSGSIZE);
    EXPECT_FALSE(passed.valid());
    EXPECT_TRUE(pipe.allWritersClosed());
}

TEST(MessageIo, ExtraDescriptorsAreClosedAndTheFirstKept) {
    SocketPair pair = makeSocketPair();
    Pipe first = makePipe();
    Pipe second = makePipe();
    Pipe third = makePipe();
    ASSERT_EQ(sendRaw(pair.a.get(), header(MSG_LOOKUP_REPLY, 0, 0, 0),
                      {first.write.get(), second.write.get(), third.write.get()}),
              16);
    first.write.reset();
    second.write.reset();
    third.write.reset();
    MessageHeader header;
    Parcel received;
    unique_fd passed;
    ASSERT_EQ(receiveMessage(pair.b.get(), &header, &received, &passed, kMaxParcelSize, kShortMs),
              OK);
    EXPECT_FALSE(first.allWritersClosed());
    EXPECT_TRUE(second.allWritersClosed());
    EXPECT_TRUE(third.allWritersClosed());
    passed.reset();
    EXPECT_TRUE(first.allWritersClosed());
}

TEST(MessageIo, MoreDescriptorsThanTheReceiverLooksAtLeakNone) {
    SocketPair pair = makeSocketPair();
    Pipe pipe = makePipe();
    int w = pipe.write.get();
    ASSERT_EQ(sendRaw(pair.a.get(), header(MSG_LOOKUP_REPLY, 0, 0, 0), {w, w, w, w, w, w, w, w}),
              16);
    pipe.write.reset();
    MessageHeader header;
    Parcel received;
    unique_fd passed;
    ASSERT_EQ(receiveMessage(pair.b.get(), &header, &received, &passed, kMaxParcelSize, kShortMs),
              OK);
    ASSERT_TRUE(passed.valid());
    passed.reset();
    EXPECT_TRUE(pipe.allWritersClosed());
}

TEST(MessageIo, SendToAClosedPeerIsEpipeWithoutSignal) {
    // SIGPIPE keeps its default action here: a send that raised it would end the test.
    SocketPair pair = makeSocketPair();
    pair.b.reset();
    Bytes payload = pattern(64);
    EXPECT_EQ(sendMessage(pair.a.get(), {MSG_TRANSACT, 1, 0, 0}, payload.data(), payload.size(), -1,
                          kShortMs),
              -EPIPE);
}

TEST(MessageIo, SendOverTheLimitSendsNothing) {
    SocketPair pair = makeSocketPair();
    Bytes payload(kMaxParcelSize + 4);
    EXPECT_EQ(sendMessage(pair.a.get(), {MSG_TRANSACT, 1, 0, 0}, payload.data(), payload.size(), -1,
                          kShortMs),
              -EMSGSIZE);
    EXPECT_TRUE(readAvailable(pair.b.get(), 20).empty());
}

TEST(MessageIo, SendToAPeerThatDoesNotReadTimesOut) {
    SocketPair pair = makeSocketPair();
    Bytes payload(kMaxParcelSize);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(sendMessage(pair.a.get(), {MSG_TRANSACT, 1, 0, 0}, payload.data(), payload.size(), -1,
                          kShortMs),
              -ETIMEDOUT);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(kShortMs - 5));
    EXPECT_LT(took, std::chrono::milliseconds(2000));
}

}  // namespace
}  // namespace zorlek::test
