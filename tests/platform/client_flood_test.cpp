// SPDX-License-Identifier: Apache-2.0
// A peer that floods a client with messages of a type the client does not know and never
// reads what the client sends back: whether the client waits for a call's reply on a
// channel or for an answer of the registry, what it queues for that peer stays within
// the bound of answers owed to no one, and the wait ends at its deadline.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/transport/client_connection.h"
#include "tests/platform/socket_helpers.h"

namespace zorlek::test {
namespace {

constexpr int kCallMs = 2000;
// What a client may hold queued for the flooding peer: the bound of unanswered answers,
// and the one answer that may cross it.
constexpr size_t kMostQueued = kUnknownAnswerRoom + kHeaderSize;

// Writes messages of an unknown type to `sock` as fast as it takes them, never reading,
// until `stop`, or, with a `limit`, until that many bytes went and then the reply to the
// first call; counts the bytes that went.
class Flood {
  public:
    explicit Flood(int sock, size_t limit = 0)
        : limit_(limit), thread_([this, sock] { run(sock); }) {}
    ~Flood() {
        stop_ = true;
        thread_.join();
    }
    size_t sent() const { return sent_; }

  private:
    void run(int sock) {
        Bytes block;
        for (uint32_t serial = 1; block.size() + kHeaderSize <= 16 * 1024; ++serial) {
            Bytes one = header(0x7E57, 0, 0, 0, serial);
            block.insert(block.end(), one.begin(), one.end());
        }
        size_t at = 0;
        while (!stop_ && (limit_ == 0 || sent_ < limit_ || at != 0)) {
            ssize_t n =
                ::send(sock, block.data() + at, block.size() - at, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0) {
                sent_ += static_cast<size_t>(n);
                at = (at + static_cast<size_t>(n)) % block.size();
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) return;
            // The client reads: room comes back. Bounded, so that stop_ is seen.
            pollfd p{sock, POLLOUT, 0};
            ::poll(&p, 1, 50);
        }
        // After whole messages: the reply is read as one.
        if (limit_ > 0 && !stop_) sendMessage(sock, {MSG_REPLY, 1, OK, 0, 1}, nullptr, 0, -1, 5000);
    }

    size_t limit_;
    std::atomic<bool> stop_{false};
    std::atomic<size_t> sent_{0};
    std::thread thread_;
};

struct Outcome {
    status_t status;
    size_t queued;
    std::chrono::milliseconds took;
};

// A call to a host that floods before it answers (`limit` bytes), or instead (0).
Outcome callFlooded(SocketPair& pair, size_t limit, size_t* flooded) {
    sp<ClientChannel> channel = make<ClientChannel>(std::move(pair.a), kCallMs);
    Flood flood(pair.b.get(), limit);
    Parcel request, reply;
    request.writeInt32(1);
    auto start = std::chrono::steady_clock::now();
    status_t status = channel->transact(1, 1, request, &reply, 0);
    auto took = std::chrono::steady_clock::now() - start;
    *flooded = flood.sent();
    return {status, channel->queuedBytes(),
            std::chrono::duration_cast<std::chrono::milliseconds>(took)};
}

// A registry answer awaited from a peer that floods instead of answering.
Outcome receiveFlooded(SocketPair& pair, size_t /*limit*/, size_t* flooded) {
    ClientConnection connection(std::move(pair.a), kClientReadBuffer, kMaxParcelSize);
    connection.waitInReceive(kCallMs);
    Flood flood(pair.b.get());
    Message answer;
    auto start = std::chrono::steady_clock::now();
    status_t status = connection.receive(&answer, Deadline::after(kCallMs));
    auto took = std::chrono::steady_clock::now() - start;
    *flooded = flood.sent();
    return {status, connection.queuedBytes(),
            std::chrono::duration_cast<std::chrono::milliseconds>(took)};
}

TEST(ClientFlood, AnswersToAPeerThatNeverReadsStayBoundedAndTheWaitEndsOnTime) {
    struct Case {
        const char* what;
        Outcome (*run)(SocketPair&, size_t, size_t*);
        size_t limit;
        status_t expected;
    } cases[] = {
        // The reply comes after 2 MiB of them: the channel stays, with what it queued.
        {"a call answered after a flood", callFlooded, 2u << 20, OK},
        {"a call never answered", callFlooded, 0, -ETIMEDOUT},
        {"an answer of the registry", receiveFlooded, 0, -ETIMEDOUT},
    };
    for (const Case& c : cases) {
        SocketPair pair = makeSocketPair();
        size_t flooded = 0;
        Outcome outcome = c.run(pair, c.limit, &flooded);
        EXPECT_EQ(outcome.status, c.expected) << c.what;
        // The flood was far more than the bound: its answers would have passed it.
        EXPECT_GT(flooded / kHeaderSize * kHeaderSize, 16 * kMostQueued) << c.what;
        EXPECT_LE(outcome.queued, kMostQueued) << c.what;
        // A guard against a wait that the flood keeps going, far beyond the deadline.
        EXPECT_LT(outcome.took.count(), 10 * kCallMs) << c.what;
    }
}

}  // namespace
}  // namespace zorlek::test
