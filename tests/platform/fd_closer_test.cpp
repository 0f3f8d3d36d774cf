// SPDX-License-Identifier: Apache-2.0
// Descriptors a peer chose: refused at the kernel where it can, and otherwise closed off
// the calling thread, whose close of a lingering socket would block for the linger time.
#include "platform/transport/fd_closer.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <vector>

#include "harness/harness.h"
#include "platform/base/limits.h"
#include "platform/transport/fd_passing.h"
#include "platform/transport/message_reader.h"
#include "tests/platform/socket_helpers.h"
#include "tests/support/lingering_socket.h"
#include "tests/support/wait.h"

namespace zorlek {
namespace {

using test::Clock;
using test::LingeringSocket;
using test::makePipe;
using test::msSince;
using test::openDescriptors;
using test::Pipe;
using test::waitUntil;

// Far longer than any guard below: a close that waits for it is plainly seen.
constexpr int kLingerSeconds = 60;
constexpr int kGuardMs = 10000;

struct Pair {
    unique_fd a, b;
    Pair() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
            a.reset(fds[0]);
            b.reset(fds[1]);
        }
    }
};

class FdCloser : public ::testing::Test {
  protected:
    void TearDown() override {
        refusalByKernelForTesting(true);
        shorteningClosesForTesting(true);
    }
};

// True once no descriptor earlier tests closed aside is still open (so that counts of this
// process's descriptors hold still).
bool closersIdle() {
    return waitUntil([] { return closesPending() == 0; }, kGuardMs);
}

// Passes `fd` into the receive queue of `pair.b`, where it waits unread; the pair stays.
bool leaveIn(const Pair& pair, int fd) {
    char byte = 'x';
    iovec iov{&byte, 1};
    return sendNow(pair.a.get(), &iov, 1, fd) == 1;
}

TEST_F(FdCloser, ASocketThatRefusesDescriptorsMakesTheSenderFail) {
    Pair pair;
    ASSERT_EQ(refuseDescriptors(pair.b.get()), OK) << "the kernel lacks SO_PASSRIGHTS";
    EXPECT_TRUE(refusesDescriptors(pair.b.get()));
    EXPECT_FALSE(refusesDescriptors(pair.a.get()));
    char byte = 'x';
    iovec iov{&byte, 1};
    EXPECT_EQ(sendNow(pair.a.get(), &iov, 1, pair.a.get()), -EPERM);
    // The other way still carries descriptors, and plain bytes go both ways.
    EXPECT_EQ(sendNow(pair.b.get(), &iov, 1, pair.b.get()), 1);
    EXPECT_EQ(sendNow(pair.a.get(), &iov, 1, -1), 1);
}

TEST_F(FdCloser, AsOnAnOlderKernelNothingIsRefused) {
    refusalByKernelForTesting(false);
    Pair pair;
    EXPECT_EQ(refuseDescriptors(pair.b.get()), -ENOPROTOOPT);
    EXPECT_FALSE(refusesDescriptors(pair.b.get()));
    char byte = 'x';
    iovec iov{&byte, 1};
    EXPECT_EQ(sendNow(pair.a.get(), &iov, 1, pair.a.get()), 1);
}

TEST_F(FdCloser, ALingeringSocketClosedAsideDoesNotHoldTheCaller) {
    LingeringSocket lingering(kLingerSeconds);
    ASSERT_TRUE(lingering.socket.valid());
    auto start = Clock::now();
    closeAside(std::move(lingering.socket));
    EXPECT_LT(msSince(start), kGuardMs);
    EXPECT_FALSE(lingering.socket.valid());
}

TEST_F(FdCloser, ASocketWithALingeringSocketInFlightIsClosedAsideUnlessItRefused) {
    for (bool kernelRefuses : {true, false}) {
        SCOPED_TRACE(kernelRefuses ? "with SO_PASSRIGHTS" : "as on an older kernel");
        refusalByKernelForTesting(kernelRefuses);
        ASSERT_TRUE(closersIdle());
        LingeringSocket lingering(kLingerSeconds);
        ASSERT_TRUE(lingering.socket.valid());
        Pair pair;
        refuseDescriptors(pair.b.get());
        char byte = 'x';
        iovec iov{&byte, 1};
        ssize_t sent = sendNow(pair.a.get(), &iov, 1, lingering.socket.get());
        // Refused at the door, or waiting unread in the receiver's queue.
        EXPECT_EQ(sent, kernelRefuses ? -EPERM : 1);
        // The attacker lets go, so that the receiver's close is the last; a socket refused
        // at the door would make the attacker's own close the last one instead.
        if (kernelRefuses) lingering.disarm();
        lingering.socket.reset();
        int open = openDescriptors();
        auto start = Clock::now();
        closeSocket(std::move(pair.b));
        EXPECT_LT(msSince(start), kGuardMs);
        // The socket itself is closed at once either way; what waited in it went aside,
        // where nothing holds it.
        EXPECT_TRUE(waitUntil([] { return closesPending() == 0; }, kGuardMs));
        EXPECT_EQ(openDescriptors(), open - 1);
    }
}

// Sends `byte` out of band (MSG_OOB) from `pair.a` with `fd` attached.
bool sendOutOfBand(const Pair& pair, uint8_t byte, int fd) {
    iovec iov{&byte, 1};
    msghdr message{};
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    ControlBuffer control;
    attachFd(&message, &control, fd);
    return ::sendmsg(pair.a.get(), &message, MSG_OOB | MSG_NOSIGNAL) == 1;
}

// A byte sent out of band is skipped by a receive unless taken in line, and the kernel
// then closes its descriptors on the receiving thread: neither a reader nor the close of
// the socket it waits in may skip one.
TEST_F(FdCloser, ALingeringSocketSentOutOfBandHoldsNeitherAReaderNorAClose) {
    for (bool read : {true, false}) {
        SCOPED_TRACE(read ? "read" : "left unread in a socket that is closed");
        LingeringSocket lingering(kLingerSeconds);
        ASSERT_TRUE(lingering.socket.valid());
        Pair pair;
        // A call's header, its eleventh byte out of band with the descriptor.
        uint8_t head[kHeaderSize];
        encodeHeader({MSG_TRANSACT, 1, 0, 0, 1, 1}, head);
        iovec before{head, 10};
        iovec after{head + 11, kHeaderSize - 11};
        ASSERT_EQ(sendNow(pair.a.get(), &before, 1, -1), 10);
        ASSERT_TRUE(sendOutOfBand(pair, head[10], lingering.socket.get()));
        ASSERT_EQ(sendNow(pair.a.get(), &after, 1, -1), ssize_t(kHeaderSize - 11));
        lingering.socket.reset();
        auto start = Clock::now();
        if (read) {
            MessageReader reader(4096, kMaxParcelSize);
            Message message;
            int got = 0;
            for (int fills = 0; fills < 4 && got == 0; ++fills) {
                ssize_t n = reader.fill(pair.b.get());
                got = n < 0 && n != -EAGAIN ? static_cast<int>(n) : reader.next(&message);
            }
            // The whole header, and a descriptor on a call: a peer not speaking the protocol.
            EXPECT_EQ(got, -EBADMSG);
        } else {
            closeSocket(std::move(pair.b));
        }
        EXPECT_LT(msSince(start), kGuardMs);
    }
}

// A peer's descriptor whose close never returns holds one closer: the program's own
// sockets are closed at once all the same (with what their peers left in them going to
// another closer), and nothing they held stays open.
TEST_F(FdCloser, OneStuckCloseHoldsNeitherTheProgramsSocketsNorOtherClosers) {
    refusalByKernelForTesting(false);
    shorteningClosesForTesting(false);
    ASSERT_TRUE(closersIdle());
    LingeringSocket lingering(kLingerSeconds);
    ASSERT_TRUE(lingering.socket.valid());
    Pair stuck;
    ASSERT_TRUE(leaveIn(stuck, lingering.socket.get()));
    lingering.socket.reset();
    closeSocket(std::move(stuck.b));
    Pipe pipe = makePipe();
    int open = openDescriptors();
    constexpr int kSockets = 32;
    for (int i = 0; i < kSockets; ++i) {
        Pair pair;
        ASSERT_TRUE(leaveIn(pair, pipe.write.get()));
        closeSocket(std::move(pair.b));
    }
    pipe.write.reset();
    EXPECT_TRUE(pipe.allWritersClosed()) << closesPending() << " pending";
    // The pipe's write end is gone, and every socket; the stuck descriptor's number may
    // have gone too, as its close began.
    EXPECT_LE(openDescriptors(), open - 1) << "all but the pipe's read end are closed";
}

// A lingering socket holds no closer at all: it stops lingering first. As many as there are
// closers, and what comes after them, are all closed.
TEST_F(FdCloser, LingeringSocketsClosedAsideAreClosedAtOnce) {
    std::vector<LingeringSocket> lingering;
    for (size_t i = 0; i <= kMaxCloserThreads; ++i) {
        lingering.emplace_back(kLingerSeconds);
        ASSERT_TRUE(lingering.back().socket.valid());
    }
    Pipe pipe = makePipe();
    for (LingeringSocket& each : lingering) closeAside(std::move(each.socket));
    closeAside(std::move(pipe.write));
    EXPECT_TRUE(pipe.allWritersClosed()) << closesPending() << " pending";
    EXPECT_TRUE(waitUntil([] { return closesPending() == 0; }, kGuardMs)) << closesPending();
}

// Past as many stuck closes as there are closers, the rest wait, counted as pending, until
// a close returns.
TEST_F(FdCloser, PastEveryCloserStuckTheRestWaitCounted) {
    shorteningClosesForTesting(false);
    ASSERT_TRUE(closersIdle());
    std::vector<LingeringSocket> lingering;
    for (size_t i = 0; i < kMaxCloserThreads; ++i) {
        lingering.emplace_back(kLingerSeconds);
        ASSERT_TRUE(lingering.back().socket.valid());
    }
    Pipe pipe = makePipe();
    for (LingeringSocket& each : lingering) closeAside(std::move(each.socket));
    closeAside(std::move(pipe.write));
    EXPECT_EQ(closesPending(), kMaxCloserThreads + 1);
    EXPECT_FALSE(pipe.writersClosedNow());
    // The attacker goes: its connections reset, and the closes return.
    lingering.clear();
    EXPECT_TRUE(pipe.allWritersClosed());
    EXPECT_TRUE(waitUntil([] { return closesPending() == 0; }, kGuardMs)) << closesPending();
}

TEST_F(FdCloser, DescriptorsAPeerSentAndNobodyTookAreClosedAside) {
    refusalByKernelForTesting(false);
    LingeringSocket lingering(kLingerSeconds);
    ASSERT_TRUE(lingering.socket.valid());
    Pair pair;
    char byte = 'x';
    iovec iov{&byte, 1};
    ASSERT_EQ(sendNow(pair.a.get(), &iov, 1, lingering.socket.get()), 1);
    lingering.socket.reset();
    msghdr message{};
    char got;
    iovec in{&got, 1};
    message.msg_iov = &in;
    message.msg_iovlen = 1;
    ControlBuffer control;
    prepareReceiveControl(&message, &control);
    ASSERT_EQ(::recvmsg(pair.b.get(), &message, MSG_CMSG_CLOEXEC), 1);
    auto start = Clock::now();
    {
        ReceivedFds fds;
        collectFds(&message, &fds);
        EXPECT_EQ(fds.count, 1u);
    }  // not taken: closed as the batch goes
    EXPECT_LT(msSince(start), kGuardMs);
}

}  // namespace
}  // namespace zorlek
