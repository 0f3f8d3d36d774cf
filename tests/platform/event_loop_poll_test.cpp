// SPDX-License-Identifier: Apache-2.0
// The loop's poll before it sleeps, with an expected source read at once: over real
// sockets, the byte a source waits for sent only by its first read that found nothing, so
// whatever takes it is a later step of the same poll.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <utility>

#include "platform/base/unique_fd.h"
#include "platform/transport/event_loop.h"

namespace zorlek::test {
namespace {

constexpr int64_t kLongPollNs = 10'000'000'000;  // ends when something comes: a hang guard
constexpr int64_t kShortPollNs = 50'000'000;

// A source on one end of a socket pair, counting how it was reached.
struct Probe : EventSource {
    EventLoop& loop;
    unique_fd mine, peer;
    int* reads;  // readNow calls, kept outside: a retired probe is gone by the end
    int events = 0, handled = 0;
    bool askAgain = false;  // after handling, expects the next message
    int sendTo = -1;        // gets a byte at the first read that found nothing
    Probe(EventLoop& on, int* readCount) : loop(on), reads(readCount) {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) == 0) {
            mine.reset(fds[0]);
            peer.reset(fds[1]);
        }
    }
    bool take() {
        char byte;
        if (::recv(mine.get(), &byte, 1, MSG_DONTWAIT) != 1) return false;
        ++handled;
        if (askAgain) loop.pollBeforeWait(kShortPollNs, this);
        return true;
    }
    void onEvents(uint32_t) override {
        ++events;
        take();
    }
    bool readNow() override {
        ++*reads;
        if (take()) return true;
        if (sendTo >= 0) {
            EXPECT_EQ(::send(std::exchange(sendTo, -1), "x", 1, MSG_NOSIGNAL), 1);
        }
        return false;
    }
};

TEST(EventLoopPoll, ReadsTheExpectedSourceAtOnceAndStillServesTheOthers) {
    enum Arrives { kExpected, kOther };
    struct Row {
        const char* what;
        Arrives at;
        int expectedReadNow, expectedEvents, otherEvents;  // handled by each path
    } rows[] = {
        {"the expected source's message is taken by a read at once", kExpected, 1, 0, 0},
        {"another source's message is found by a check of every descriptor", kOther, 0, 0, 1},
    };
    for (const Row& row : rows) {
        EventLoop loop;
        int reads = 0, otherReads = 0;
        Probe expected(loop, &reads), other(loop, &otherReads);
        ASSERT_EQ(loop.watch(expected.mine.get(), EPOLLIN, &expected), OK);
        ASSERT_EQ(loop.watch(other.mine.get(), EPOLLIN, &other), OK);
        expected.sendTo = (row.at == kExpected ? expected : other).peer.get();
        loop.pollBeforeWait(kLongPollNs, &expected);
        EXPECT_EQ(loop.runOnce(10'000), OK) << row.what;
        EXPECT_EQ(expected.handled - expected.events, row.expectedReadNow) << row.what;
        EXPECT_EQ(expected.events, row.expectedEvents) << row.what;
        EXPECT_EQ(other.events, row.otherEvents) << row.what;
        // The first step and every fourth look at every descriptor: the first read sends,
        // and the other's byte waits two more reads at once.
        EXPECT_EQ(reads, row.at == kExpected ? 2 : 3) << row.what;
        EXPECT_EQ(otherReads, 0) << row.what;
    }
}

TEST(EventLoopPoll, ReadsAtOnceOnlyASourceThatIsStillThereAndAlone) {
    enum Then { kNothing, kRetired, kForgotten, kTwoAsked, kAskedInTheRead };
    struct Row {
        const char* what;
        Then then;
        bool readAtOnce;  // in the runOnce that follows
    } rows[] = {
        {"an expected source is read at once", kNothing, true},
        {"not one retired after it asked", kRetired, false},
        {"not one forgotten after it asked", kForgotten, false},
        {"not when two asked, naming different sources", kTwoAsked, false},
        {"again when a read at once handled a message and asked anew", kAskedInTheRead, true},
    };
    for (const Row& row : rows) {
        EventLoop loop;
        int reads = 0, otherReads = 0;
        auto probe = std::make_unique<Probe>(loop, &reads);
        Probe other(loop, &otherReads);
        ASSERT_EQ(loop.watch(probe->mine.get(), EPOLLIN, probe.get()), OK);
        loop.pollBeforeWait(kShortPollNs, probe.get());
        if (row.then == kAskedInTheRead) {
            // A first round in which a read at once takes a message and asks again.
            probe->sendTo = probe->peer.get();
            probe->askAgain = true;
            EXPECT_EQ(loop.runOnce(10'000), OK);
            ASSERT_EQ(probe->handled, 1) << row.what;
            reads = 0;
        }
        if (row.then == kTwoAsked) loop.pollBeforeWait(kShortPollNs, &other);
        if (row.then == kForgotten) loop.forget(probe.get());
        if (row.then == kRetired) {
            loop.unwatch(probe->mine.get());
            loop.retire(std::move(probe));
        }
        // Nothing comes: the poll runs out, then the wait.
        EXPECT_EQ(loop.runOnce(1), OK) << row.what;
        EXPECT_EQ(reads > 0, row.readAtOnce) << row.what << ": " << reads;
        EXPECT_EQ(otherReads, 0) << row.what;
    }
}

}  // namespace
}  // namespace zorlek::test
