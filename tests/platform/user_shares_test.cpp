// SPDX-License-Identifier: Apache-2.0
// What each user holds of a server: real connections in an event loop, each answering
// requests with as many bytes as asked that its peer reads only when told, so that the
// budgets of a user and of all other users fill and free as they would under attack.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <memory>
#include <vector>

#include "platform/transport/connection.h"
#include "platform/transport/user_shares.h"
#include "tests/platform/socket_helpers.h"
#include "tests/support/wait.h"

namespace zorlek::test {
namespace {

// Answers a request whose code is N with N bytes.
class Answerer final : public ConnectionOwner {
  public:
    bool onMessage(Connection& connection, Message& message) override {
        static const std::vector<uint8_t> zeros(kMaxParcelSize);
        connection.send({MSG_REPLY, 0, 0, 0}, zeros.data(), message.header.code);
        return true;
    }
    void onClosed(Connection& /*connection*/, status_t /*why*/) override {}
};

// A served connection, and the peer's end of it.
struct Served {
    unique_fd peer;
    std::unique_ptr<Connection> connection;
    size_t received = 0;

    Served(EventLoop& loop, Answerer& owner, std::shared_ptr<Budget> budget) {
        SocketPair pair = makeSocketPair();
        ::fcntl(pair.a.get(), F_SETFL, O_NONBLOCK);
        // As little room in the socket as the kernel allows: the answers wait in the queue,
        // on the budget.
        int small = 1;
        ::setsockopt(pair.a.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        peer = std::move(pair.b);
        connection =
            std::make_unique<Connection>(loop, std::move(pair.a), owner, ConnectionLimits{});
        connection->setBudget(std::move(budget));
        connection->start();
    }
    bool ask(uint32_t bytes) {
        Bytes request = header(MSG_TRANSACT, bytes, 0, 0);
        return ::send(peer.get(), request.data(), request.size(), MSG_DONTWAIT) ==
               static_cast<ssize_t>(request.size());
    }
    // Reads what has arrived.
    void take() {
        uint8_t sink[65536];
        ssize_t n;
        while ((n = ::recv(peer.get(), sink, sizeof sink, MSG_DONTWAIT)) > 0) {
            received += static_cast<size_t>(n);
        }
    }
};

// Turns the loop, reading for the peers that read, until `done` holds or 5 s pass (ten
// times and more what it takes).
bool serveUntil(EventLoop& loop, std::vector<Served*> reading, const std::function<bool()>& done) {
    return waitUntil(
        [&] {
            for (int turn = 0; turn < 100 && !done(); ++turn) {
                loop.runOnce(0);
                for (Served* served : reading) served->take();
            }
            return done();
        },
        5000);
}

constexpr size_t kAnswer = kHeaderSize;  // an answer's header

// A user's own budget frees while the budget of all other users is still spent: its
// connection that waited, with nothing queued to bring it back, must run again once the
// shared budget frees too.
TEST(Budgets, AWaiterRunsAgainOnceBothItsBudgetsHaveFreed) {
    EventLoop loop;
    Answerer owner;
    UserShares users({0, 64 * 1024, 64 * 1024, 256 * 1024});
    std::shared_ptr<Budget> mine = users.join(1001), theirs = users.join(1002);
    Served first(loop, owner, mine), second(loop, owner, mine), other(loop, owner, theirs);

    // One user spends its own 64 KiB, not what all share; another spends that too.
    ASSERT_TRUE(first.ask(100 * 1024));
    ASSERT_TRUE(serveUntil(loop, {}, [&] { return mine->spent(); }));
    ASSERT_TRUE(other.ask(300 * 1024));
    ASSERT_TRUE(serveUntil(loop, {}, [&] { return theirs->spent(); }));
    // The first user's second connection asks, and waits.
    ASSERT_TRUE(second.ask(4));
    loop.runOnce(0);
    second.take();
    EXPECT_EQ(second.received, 0u);

    // The first user's own budget frees; the shared one stays spent.
    ASSERT_TRUE(serveUntil(loop, {&first}, [&] { return first.received == kAnswer + 100 * 1024; }));
    EXPECT_TRUE(mine->spent()) << "the shared budget is still spent";
    loop.runOnce(0);
    second.take();
    EXPECT_EQ(second.received, 0u) << "still held back by the shared budget";
    // Then the shared one frees.
    ASSERT_TRUE(serveUntil(loop, {&other}, [&] { return other.received == kAnswer + 300 * 1024; }));
    EXPECT_TRUE(serveUntil(loop, {&second}, [&] { return second.received == kAnswer + 4; }))
        << "the waiter was not woken";
}

// Requests too large for a connection's buffer, from more connections of one user than
// its budget holds at once: each request is charged in full when it starts, so that the
// budget stops the ones that have not started, while those under way are read to their end
// and handled, which frees what they took. Every one is answered. A connection stopped in
// the middle of a request would hold what only reading the rest of it frees.
TEST(Budgets, LargeRequestsThatTogetherPassTheBudgetAreAllAnswered) {
    EventLoop loop;
    Answerer owner;
    UserShares users({0, 1024 * 1024, 1024 * 1024, 4 * 1024 * 1024});
    std::shared_ptr<Budget> budget = users.join(1001);
    constexpr size_t kConnections = 8;
    constexpr uint32_t kRequest = 512 * 1024;
    std::vector<std::unique_ptr<Served>> served;
    std::vector<size_t> sent(kConnections, 0);
    // Each asks for a 4-byte answer, with a request of 512 KiB.
    Bytes request = header(MSG_TRANSACT, 4, 0, kRequest);
    request.resize(kHeaderSize + kRequest, 0x5a);
    for (size_t i = 0; i < kConnections; ++i) {
        served.push_back(std::make_unique<Served>(loop, owner, budget));
    }
    auto answered = [&] {
        for (auto& one : served) {
            if (one->received != kAnswer + 4) return false;
        }
        return true;
    };
    bool all = waitUntil(
        [&] {
            for (int turn = 0; turn < 100 && !answered(); ++turn) {
                for (size_t i = 0; i < kConnections; ++i) {
                    ssize_t n = ::send(served[i]->peer.get(), request.data() + sent[i],
                                       request.size() - sent[i], MSG_DONTWAIT | MSG_NOSIGNAL);
                    if (n > 0) sent[i] += static_cast<size_t>(n);
                    served[i]->take();
                }
                loop.runOnce(0);
            }
            return answered();
        },
        5000);
    EXPECT_TRUE(all) << "a connection stopped in the middle of its request stays stopped";
}

TEST(UserShares, EachUserHasItsBudgetAndOtherUsersShareOne) {
    UserShares users({500, 1000, 5000, 1500});
    EXPECT_TRUE(users.trusted(0));
    EXPECT_TRUE(users.trusted(500));
    EXPECT_FALSE(users.trusted(1001));
    std::shared_ptr<Budget> root = users.join(0), own = users.join(500);
    std::shared_ptr<Budget> a = users.join(1001), b = users.join(1002);
    EXPECT_EQ(users.join(1001), a) << "one budget for all of a user's connections";
    EXPECT_EQ(users.connectionsOf(1001), 2u);
    EXPECT_EQ(users.othersConnections(), 3u) << "root and the server's own user not counted";
    EXPECT_EQ(users.users(), 4u);
    // Each trusted budget and each other user's differ, and the others share one.
    EXPECT_NE(root, own);
    EXPECT_NE(a, b);
    users.leave(1001);
    users.leave(1001);
    users.leave(1002);
    users.leave(0);
    users.leave(500);
    EXPECT_EQ(users.users(), 0u) << "no empty record stays";
    EXPECT_EQ(users.othersConnections(), 0u);
    EXPECT_NE(users.join(1001), a) << "a user that left starts afresh";
}

}  // namespace
}  // namespace zorlek::test
