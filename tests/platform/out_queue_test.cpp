// SPDX-License-Identifier: Apache-2.0
// The event-loop sender: sends at once when the socket has room, keeps in order what it
// does not take, sends a descriptor with its own message's first byte, and fails cleanly
// on a closed peer.

#include <gtest/gtest.h>

#include "platform/transport/fd_passing.h"
#include "platform/transport/message_reader.h"
#include "platform/transport/out_queue.h"
#include "tests/platform/socket_helpers.h"
#include "tests/support/lingering_socket.h"
#include "tests/support/wait.h"

namespace zorlek::test {
namespace {

Bytes pattern(size_t size, uint8_t seed) {
    Bytes out(size);
    for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(i * 31 + seed);
    return out;
}

TEST(OutQueue, SendsAtOnceWhenTheSocketHasRoom) {
    SocketPair pair = makeSocketPair();
    OutQueue out;
    Bytes payload = pattern(40, 1);
    ASSERT_EQ(out.send(pair.a.get(), {MSG_REPLY, 5, -1, 0}, payload.data(), payload.size()), OK);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(out.queuedBytes(), 0u);
    EXPECT_EQ(readAvailable(pair.b.get()), cat({header(MSG_REPLY, 5, -1, 40), payload}));
}

TEST(OutQueue, KeepsWhatTheSocketDoesNotTakeInOrder) {
    SocketPair pair = makeSocketPair();
    OutQueue out;
    Pipe pipe = makePipe();
    std::vector<Bytes> payloads;
    for (int i = 0; i < 6; ++i) payloads.push_back(pattern(300000, static_cast<uint8_t>(i)));
    for (int i = 0; i < 6; ++i) {
        unique_fd fd;
        // The descriptor rides on a message that has to wait in the queue.
        if (i == 4) fd.reset(::dup(pipe.write.get()));
        ASSERT_EQ(out.send(pair.a.get(), {MSG_CHANNEL, static_cast<uint32_t>(i), 0, 0},
                           payloads[i].data(), payloads[i].size(), std::move(fd), 7),
                  OK);
    }
    EXPECT_FALSE(out.hasFdOutcomes()) << "the descriptor has not gone yet";
    pipe.write.reset();
    EXPECT_FALSE(out.empty());
    EXPECT_GT(out.queuedBytes(), 0u);
    EXPECT_EQ(out.queuedFds(), 1u) << "the descriptor waits with its message";
    MessageReader reader(4096, kMaxParcelSize);
    std::vector<Message> got;
    for (int rounds = 0; rounds < 100000 && got.size() < 6; ++rounds) {
        ASSERT_EQ(out.flush(pair.a.get()), OK);
        pollfd p{pair.b.get(), POLLIN, 0};
        if (::poll(&p, 1, 100) != 1) continue;
        ssize_t n = reader.fill(pair.b.get());
        ASSERT_GT(n, 0);
        Message m;
        int r;
        while ((r = reader.next(&m)) == 1) got.push_back(std::move(m));
        ASSERT_EQ(r, 0);
    }
    ASSERT_EQ(got.size(), 6u);
    std::vector<OutQueue::FdOutcome> outcomes = out.takeFdOutcomes();
    ASSERT_EQ(outcomes.size(), 1u) << "only the descriptor's message is followed";
    EXPECT_EQ(outcomes[0].tag, 7u);
    EXPECT_EQ(outcomes[0].status, OK);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(out.queuedBytes(), 0u);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(got[i].header.code, uint32_t(i));
        EXPECT_TRUE(bytesOf(got[i].payload.data(), got[i].payload.dataSize()) == payloads[i]) << i;
        EXPECT_EQ(got[i].fd.valid(), i == 4) << i;
    }
    ASSERT_EQ(::write(got[4].fd.get(), "z", 1), 1);
    char c = 0;
    EXPECT_EQ(::read(pipe.read.get(), &c, 1), 1);
}

// A descriptor dropped with the queue, unsent, is the end of a channel whose other end a
// peer holds: the peer may have filled its queue with a socket whose last close blocks.
TEST(OutQueue, ADescriptorThatNeverGoesIsNotWaitedFor) {
    SocketPair pair = makeSocketPair();
    uint8_t fill[4096] = {};
    while (::send(pair.a.get(), fill, sizeof fill, MSG_DONTWAIT) > 0) {
    }
    SocketPair channel = makeSocketPair();
    {
        LingeringSocket lingering(60);
        ASSERT_TRUE(lingering.socket.valid());
        char byte = 'x';
        iovec iov{&byte, 1};
        ASSERT_EQ(sendNow(channel.b.get(), &iov, 1, lingering.socket.get()), 1);
        lingering.socket.reset();
        channel.b.reset();
        auto out = std::make_unique<OutQueue>();
        ASSERT_EQ(out->send(pair.a.get(), {MSG_CHANNEL, 0, 0, 0}, nullptr, 0, std::move(channel.a)),
                  OK);
        ASSERT_EQ(out->queuedFds(), 1u);
        auto start = Clock::now();
        out.reset();
        EXPECT_LT(msSince(start), 10000) << "a guard against a hang: it would last 60 s";
    }
}

TEST(OutQueue, AClosedPeerIsEpipeWithoutSignal) {
    SocketPair pair = makeSocketPair();
    pair.b.reset();
    OutQueue out;
    Bytes payload = pattern(8, 0);
    EXPECT_EQ(out.send(pair.a.get(), {MSG_REPLY, 0, 0, 0}, payload.data(), payload.size()), -EPIPE);
}

TEST(OutQueue, APeerThatClosesWhileBytesWaitFailsTheFlush) {
    SocketPair pair = makeSocketPair();
    OutQueue out;
    Bytes payload = pattern(kMaxParcelSize, 0);
    ASSERT_EQ(out.send(pair.a.get(), {MSG_REPLY, 0, 0, 0}, payload.data(), payload.size()), OK);
    ASSERT_FALSE(out.empty());
    pair.b.reset();
    EXPECT_EQ(out.flush(pair.a.get()), -EPIPE);
}

TEST(OutQueue, RefusesAPayloadOverTheLimit) {
    SocketPair pair = makeSocketPair();
    OutQueue out;
    Bytes payload(kMaxParcelSize + 4);
    EXPECT_EQ(out.send(pair.a.get(), {MSG_REPLY, 0, 0, 0}, payload.data(), payload.size()),
              -EMSGSIZE);
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(readAvailable(pair.b.get(), 0).empty());
}

}  // namespace
}  // namespace zorlek::test
