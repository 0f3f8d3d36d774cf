// SPDX-License-Identifier: Apache-2.0
// Messages sent and received over a socket pair with the client's connection, and the
// same receive facing hostile bytes: truncated headers and payloads, sizes over the limit
// or not a multiple of 4, descriptors where none belong and more descriptors than one.

#include <gtest/gtest.h>

#include <fcntl.h>

#include <chrono>
#include <thread>

#include "platform/base/parcel.h"
#include "platform/transport/client_connection.h"
#include "tests/platform/socket_helpers.h"

namespace zorlek::test {
namespace {

constexpr int kShortMs = 100;

// A connection on `sock`, as the client makes one for the registry.
ClientConnection streamOn(unique_fd& sock) {
    return ClientConnection(std::move(sock), 4096, kMaxParcelSize);
}

status_t sendMessage(ClientConnection& stream, MessageHeader header, const Bytes& payload,
                     int passFd, int timeoutMs) {
    unique_fd fd(passFd >= 0 ? ::fcntl(passFd, F_DUPFD_CLOEXEC, 0) : -1);
    status_t status = stream.send(header, payload.data(), payload.size(), std::move(fd));
    return status == OK ? stream.drain(Deadline::after(timeoutMs)) : status;
}

status_t receiveMessage(ClientConnection& stream, Message* out, int timeoutMs) {
    status_t status = stream.receive(out, Deadline::after(timeoutMs));
    if (status != OK) out->payload.clear();
    return status;
}

Bytes pattern(size_t size) {
    Bytes out(size);
    for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(i * 7 + 3);
    return out;
}

TEST(WireHeader, EncodesSixLittleEndianWords) {
    Bytes bytes = header(0x01020304, 0xA0B0C0D0, -2, 16, 0x11223344, 7);
    EXPECT_EQ(bytes,
              (Bytes{0x04, 0x03, 0x02, 0x01, 0xD0, 0xC0, 0xB0, 0xA0, 0xFE, 0xFF, 0xFF, 0xFF,
                     0x10, 0x00, 0x00, 0x00, 0x44, 0x33, 0x22, 0x11, 0x07, 0x00, 0x00, 0x00}));
    MessageHeader back = decodeHeader(bytes.data());
    EXPECT_EQ(back.type, 0x01020304u);
    EXPECT_EQ(back.code, 0xA0B0C0D0u);
    EXPECT_EQ(back.value, -2);
    EXPECT_EQ(back.size, 16u);
    EXPECT_EQ(back.serial, 0x11223344u);
    EXPECT_EQ(back.object, 7u);
    uint8_t encoded[kHeaderSize];
    encodeHeader(back, encoded);
    EXPECT_EQ(bytesOf(encoded, kHeaderSize), bytes);
    // A host's number rides in two words, the high one in code.
    MessageHeader lookup{MSG_LOOKUP_REPLY};
    setHost(&lookup, 0x0000000500000009);
    EXPECT_EQ(lookup.code, 5u);
    EXPECT_EQ(lookup.serial, 9u);
    EXPECT_EQ(hostOf(lookup), 0x0000000500000009u);
}

TEST(WireHeader, TellsAnOlderPeersHandshakeFromAnyOther) {
    struct Case {
        const char* what;
        Bytes bytes;
        int32_t version;
    };
    const Case cases[] = {
        {"version 2", cat({i32(MSG_HELLO), i32(kProtocolMagic), i32(2), i32(0)}), 2},
        {"version 1", cat({i32(MSG_HELLO), i32(kProtocolMagic), i32(1), i32(0)}), 1},
        {"this version's first bytes", header(MSG_HELLO, kProtocolMagic, kProtocolVersion, 0), 0},
        {"another type", cat({i32(MSG_LOOKUP), i32(kProtocolMagic), i32(2), i32(0)}), 0},
        {"another magic", cat({i32(MSG_HELLO), i32(1), i32(2), i32(0)}), 0},
        {"a payload", cat({i32(MSG_HELLO), i32(kProtocolMagic), i32(2), i32(4)}), 0},
        {"version 0", cat({i32(MSG_HELLO), i32(kProtocolMagic), i32(0), i32(0)}), 0},
    };
    for (const Case& c : cases) EXPECT_EQ(oldHelloVersion(c.bytes.data()), c.version) << c.what;
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

TEST(ClientConnection, RoundTripsSmallAndLargePayloads) {
    for (size_t size : {size_t{0}, size_t{4}, size_t{4096 - kHeaderSize}, size_t{4096},
                        size_t{4100}, size_t{200000}, kMaxParcelSize}) {
        SocketPair pair = makeSocketPair();
        ClientConnection sending = streamOn(pair.a), receiving = streamOn(pair.b);
        Bytes payload = pattern(size);
        status_t sent = -1;
        // Large payloads do not fit in the socket buffer: the sender waits for the reader.
        std::thread sender([&] {
            sent = sendMessage(sending, {MSG_REPLY, 42, -5, 0, 8, 9}, payload, -1, 5000);
        });
        Message received;
        status_t status = receiveMessage(receiving, &received, 5000);
        sender.join();
        ASSERT_EQ(sent, OK) << size;
        ASSERT_EQ(status, OK) << size;
        EXPECT_EQ(received.header.type, uint32_t{MSG_REPLY});
        EXPECT_EQ(received.header.code, 42u);
        EXPECT_EQ(received.header.value, -5);
        EXPECT_EQ(received.header.size, size);
        EXPECT_EQ(received.header.serial, 8u);
        EXPECT_EQ(received.header.object, 9u);
        EXPECT_EQ(bytesOf(received.payload), payload) << size;
        EXPECT_EQ(received.payload.dataPosition(), 0u);
    }
}

TEST(ClientConnection, MessagesThatArriveTogetherAreTakenOneByOne) {
    SocketPair pair = makeSocketPair();
    ClientConnection receiving = streamOn(pair.b);
    // Sent in one write, with bytes of a third after them.
    Bytes bytes = cat({header(MSG_REPLY, 1, 0, 0), header(MSG_REPLY, 2, 0, 4), pattern(4),
                       header(MSG_REPLY, 3, 0, 0)});
    ASSERT_EQ(sendRaw(pair.a.get(), Bytes(bytes.begin(), bytes.end() - 4)),
              ssize_t(bytes.size() - 4));
    Message received;
    ASSERT_EQ(receiveMessage(receiving, &received, kShortMs), OK);
    EXPECT_EQ(received.header.code, 1u);
    ASSERT_EQ(receiveMessage(receiving, &received, kShortMs), OK);
    EXPECT_EQ(received.header.code, 2u);
    EXPECT_EQ(received.payload.dataSize(), 4u);
    ASSERT_EQ(receiveMessage(receiving, &received, kShortMs), -ETIMEDOUT) << "half a header";
    ASSERT_EQ(sendRaw(pair.a.get(), Bytes(bytes.end() - 4, bytes.end())), 4);
    ASSERT_EQ(receiveMessage(receiving, &received, kShortMs), OK) << "still in step";
    EXPECT_EQ(received.header.code, 3u);
}

struct HostileCase {
    const char* what;
    Bytes bytes;
    bool closeAfter;
    status_t expected;
};

TEST(ClientConnection, ReceiveRefusesHostileBytes) {
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
    };
    for (const HostileCase& c : cases) {
        SocketPair pair = makeSocketPair();
        if (!c.bytes.empty()) {
            ASSERT_EQ(sendRaw(pair.a.get(), c.bytes), ssize_t(c.bytes.size()));
        }
        if (c.closeAfter) pair.a.reset();
        ClientConnection receiving = streamOn(pair.b);
        Message received;
        ASSERT_EQ(received.payload.writeInt32(99), OK);
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(receiveMessage(receiving, &received, kShortMs), c.expected) << c.what;
        auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(received.payload.dataSize(), 0u) << c.what << ": empty after a failure";
        if (c.expected == -ETIMEDOUT) {
            EXPECT_GE(took, std::chrono::milliseconds(kShortMs - 5)) << c.what;
        }
        // A guard against a hang, twenty times the bound.
        EXPECT_LT(took, std::chrono::milliseconds(2000)) << c.what;
    }
}

TEST(ClientConnection, ReceiveLimitIsTheCallersLimit) {
    SocketPair pair = makeSocketPair();
    Bytes bytes = cat({header(MSG_HELLO, 0, 0, 8), pattern(8)});
    ASSERT_EQ(sendRaw(pair.a.get(), bytes), ssize_t(bytes.size()));
    ClientConnection receiving(std::move(pair.b), 4096, 4);
    Message received;
    EXPECT_EQ(receiveMessage(receiving, &received, kShortMs), -EMSGSIZE);
}

TEST(ClientConnection, DescriptorOnAMessageThatCarriesOneIsHandedOut) {
    SocketPair pair = makeSocketPair();
    ClientConnection sending = streamOn(pair.a), receiving = streamOn(pair.b);
    Pipe pipe = makePipe();
    ASSERT_EQ(sendMessage(sending, {MSG_LOOKUP_REPLY}, {}, pipe.write.get(), kShortMs), OK);
    pipe.write.reset();
    Message received;
    ASSERT_EQ(receiveMessage(receiving, &received, kShortMs), OK);
    unique_fd passed = std::move(received.fd);
    ASSERT_TRUE(passed.valid());
    EXPECT_FALSE(pipe.writersClosedNow());
    EXPECT_EQ(::fcntl(passed.get(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC) << "close-on-exec";
    ASSERT_EQ(::write(passed.get(), "x", 1), 1);
    char c = 0;
    EXPECT_EQ(::read(pipe.read.get(), &c, 1), 1);
    passed.reset();
    EXPECT_TRUE(pipe.allWritersClosed());
}

// A descriptor where none belongs: the peer is not speaking the protocol.
TEST(ClientConnection, DescriptorOnAMessageThatCarriesNoneIsMalformedAndClosed) {
    SocketPair pair = makeSocketPair();
    Pipe pipe = makePipe();
    ASSERT_EQ(sendRaw(pair.a.get(), header(MSG_REPLY, 0, 0, 0), {pipe.write.get()}),
              ssize_t(kHeaderSize));
    pipe.write.reset();
    ClientConnection receiving = streamOn(pair.b);
    Message received;
    ASSERT_EQ(receiveMessage(receiving, &received, kShortMs), -EBADMSG);
    EXPECT_FALSE(received.fd.valid());
    receiving.reset();
    EXPECT_TRUE(pipe.allWritersClosed());
}

TEST(ClientConnection, DescriptorsOnAFailedReceiveAreClosed) {
    SocketPair pair = makeSocketPair();
    Pipe pipe = makePipe();
    ASSERT_EQ(sendRaw(pair.a.get(), header(MSG_LOOKUP_REPLY, 0, 0, kMaxParcelSize + 4),
                      {pipe.write.get()}),
              ssize_t(kHeaderSize));
    pipe.write.reset();
    {
        ClientConnection receiving = streamOn(pair.b);
        Message received;
        EXPECT_EQ(receiveMessage(receiving, &received, kShortMs), -EMSGSIZE);
        EXPECT_FALSE(received.fd.valid());
    }
    EXPECT_TRUE(pipe.allWritersClosed());
}

// A message carries one descriptor at most: more is malformed, and none is kept.
TEST(ClientConnection, ExtraDescriptorsAreMalformedAndAllClosed) {
    SocketPair pair = makeSocketPair();
    Pipe first = makePipe();
    Pipe second = makePipe();
    Pipe third = makePipe();
    ASSERT_EQ(sendRaw(pair.a.get(), header(MSG_LOOKUP_REPLY, 0, 0, 0),
                      {first.write.get(), second.write.get(), third.write.get()}),
              ssize_t(kHeaderSize));
    first.write.reset();
    second.write.reset();
    third.write.reset();
    ClientConnection receiving = streamOn(pair.b);
    Message received;
    ASSERT_EQ(receiveMessage(receiving, &received, kShortMs), -EBADMSG);
    EXPECT_FALSE(received.fd.valid());
    EXPECT_TRUE(first.allWritersClosed());
    EXPECT_TRUE(second.allWritersClosed());
    EXPECT_TRUE(third.allWritersClosed());
}

TEST(ClientConnection, MoreDescriptorsThanTheReceiverLooksAtLeakNone) {
    SocketPair pair = makeSocketPair();
    Pipe pipe = makePipe();
    int w = pipe.write.get();
    ASSERT_EQ(sendRaw(pair.a.get(), header(MSG_LOOKUP_REPLY, 0, 0, 0), {w, w, w, w, w, w, w, w}),
              ssize_t(kHeaderSize));
    pipe.write.reset();
    ClientConnection receiving = streamOn(pair.b);
    Message received;
    ASSERT_EQ(receiveMessage(receiving, &received, kShortMs), -EBADMSG);
    EXPECT_FALSE(received.fd.valid());
    EXPECT_TRUE(pipe.allWritersClosed());
}

TEST(ClientConnection, SendToAClosedPeerIsEpipeWithoutSignal) {
    // SIGPIPE keeps its default action here: a send that raised it would end the test.
    SocketPair pair = makeSocketPair();
    pair.b.reset();
    ClientConnection sending = streamOn(pair.a);
    EXPECT_EQ(sendMessage(sending, {MSG_TRANSACT, 1}, pattern(64), -1, kShortMs), -EPIPE);
}

TEST(ClientConnection, SendToAPeerThatDoesNotReadTimesOut) {
    SocketPair pair = makeSocketPair();
    ClientConnection sending = streamOn(pair.a);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(sendMessage(sending, {MSG_TRANSACT, 1}, Bytes(kMaxParcelSize), -1, kShortMs),
              -ETIMEDOUT);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(kShortMs - 5));
    // A guard against a hang, twenty times the bound: without it the send waits for ever.
    EXPECT_LT(took, std::chrono::milliseconds(2000));
}

}  // namespace
}  // namespace zorlek::test
