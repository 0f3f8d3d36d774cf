// SPDX-License-Identifier: Apache-2.0
// Descriptors a peer chose: refused at the kernel where it can, and otherwise closed off
// the calling thread, whose close of a lingering socket would block for the linger time.
#include "platform/transport/fd_closer.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include "platform/transport/fd_passing.h"
#include "tests/support/lingering_socket.h"
#include "tests/support/wait.h"

namespace zorlek {
namespace {

using test::Clock;
using test::LingeringSocket;
using test::msSince;

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
    void TearDown() override { refusalByKernelForTesting(true); }
};

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
        size_t before = closesPending();
        auto start = Clock::now();
        closeSocket(std::move(pair.b));
        EXPECT_LT(msSince(start), kGuardMs);
        // Closed at once when nothing could wait in it, else aside.
        EXPECT_EQ(closesPending() > before, !kernelRefuses);
    }
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
