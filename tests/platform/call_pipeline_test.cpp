// SPDX-License-Identifier: Apache-2.0
// CallPipeline against hosts played by hand on socket pairs and an object in this process:
// results in the order of the calls whatever order replies come in, and silent objects
// that together cost one wait.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/ipc/call_pipeline.h"
#include "platform/transport/object_proxy.h"
#include "tests/platform/socket_helpers.h"
#include "tests/support/wait.h"

namespace zorlek::test {
namespace {

constexpr int kShortMs = 150;

// An object in this process that notes when it is called.
class Noting : public IBinder {
  public:
    explicit Noting(std::vector<std::string>* log) : log_(log) {}
    status_t sendTransaction(uint32_t code, const Parcel&, Parcel* reply, uint32_t) override {
        log_->push_back("local " + std::to_string(code));
        return reply->writeInt32(static_cast<int32_t>(code));
    }

  private:
    std::vector<std::string>* log_;
};

TEST(CallPipeline, ResultsComeInTheOrderOfTheCallsWhateverOrderRepliesArrive) {
    std::vector<SocketPair> pairs(4);
    for (SocketPair& pair : pairs) pair = makeSocketPair();
    std::vector<sp<ObjectProxy>> proxies;
    for (SocketPair& pair : pairs) proxies.push_back(proxyOn(std::move(pair.a), 2000));
    pairs[2].b.reset();  // gone before its call
    std::vector<std::string> log;
    CallPipeline pipeline(6);
    EXPECT_TRUE(pipeline.add(proxies[0], 10, Parcel()));
    EXPECT_TRUE(pipeline.add(nullptr, 11, Parcel()));
    EXPECT_TRUE(pipeline.add(proxies[1], 12, Parcel()));
    EXPECT_TRUE(pipeline.add(make<Noting>(&log), 13, Parcel()));
    EXPECT_TRUE(pipeline.add(proxies[2], 14, Parcel()));
    EXPECT_TRUE(pipeline.add(proxies[3], 15, Parcel()));
    EXPECT_FALSE(pipeline.add(proxies[3], 16, Parcel())) << "full";
    // The hosts answer last call first; the first waits until the pipeline, waiting for
    // it, has taken in the others' replies.
    bool laterTakenFirst = false;
    std::thread hosts([&] {
        for (int i : {3, 1, 0}) {
            if (i == 0) {
                laterTakenFirst = waitUntil(
                    [&] {
                        return unreadByPeer(pairs[3].b.get()) == 0 &&
                               unreadByPeer(pairs[1].b.get()) == 0;
                    },
                    1500);
            }
            Request request = receiveRequest(pairs[i].b.get());
            answer(pairs[i].b.get(), request, i == 1 ? -EPERM : OK, i32(100 + request.header.code));
        }
    });
    struct Result {
        status_t status;
        Bytes reply;
        bool operator==(const Result&) const = default;
    };
    std::vector<Result> results;
    Parcel reply;
    while (pipeline.size() > 0) {
        status_t status = pipeline.takeOldest(&reply);
        results.push_back({status, bytesOf(reply)});
        if (results.size() == 3) log.push_back("taken 12");
    }
    hosts.join();
    EXPECT_TRUE(laterTakenFirst) << "replies of later calls taken in while the oldest waits";
    EXPECT_EQ(results, (std::vector<Result>{{OK, i32(110)},
                                            {-ENOENT, {}},
                                            {-EPERM, {}},
                                            {OK, i32(13)},
                                            {-EPIPE, {}},
                                            {OK, i32(115)}}));
    // An object in this process is called at its turn, as one call after another would.
    EXPECT_EQ(log, (std::vector<std::string>{"taken 12", "local 13"}));
    EXPECT_EQ(pipeline.takeOldest(&reply), -ENODATA);
    // Each object is let go once its result is taken.
    for (const auto& proxy : proxies) EXPECT_EQ(proxy->strongCount(), 1);
}

TEST(CallPipeline, SilentObjectsTogetherCostOneWait) {
    constexpr int kSilent = 24;
    std::vector<SocketPair> pairs(kSilent);
    std::vector<sp<ObjectProxy>> proxies;
    CallPipeline pipeline(kSilent);
    for (SocketPair& pair : pairs) {
        pair = makeSocketPair();
        proxies.push_back(proxyOn(std::move(pair.a), kShortMs));
        pipeline.add(proxies.back(), 1, Parcel());
    }
    auto start = Clock::now();
    Parcel reply;
    for (int i = 0; i < kSilent; ++i) EXPECT_EQ(pipeline.takeOldest(&reply), -ETIMEDOUT);
    // Together they take one wait; the bound is ten waits, and one after another they
    // would take 24.
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(10 * kShortMs));
    // Out of time, each channel is still in step.
    for (const auto& proxy : proxies) EXPECT_TRUE(proxy->isAlive());
}

// A host that withholds the first reply, fills the room for replies ahead of their turn
// with large ones, answers the rest (dropped, to be asked again) and then stays silent:
// the calls asked again wait one more timeout together, not one each.
TEST(CallPipeline, CallsAskedAgainShareOneMoreWait) {
    constexpr int kCalls = 40;
    constexpr size_t kLarge = kHeldReplyBytes / 4;
    SocketPair pair = makeSocketPair();
    sp<ObjectProxy> proxy = proxyOn(std::move(pair.a), kShortMs);
    CallPipeline pipeline(kCalls);
    for (int i = 0; i < kCalls; ++i) pipeline.add(proxy, 1, Parcel(), true);
    std::thread host([&] {
        std::vector<Request> calls;
        for (int i = 0; i < kCalls; ++i) calls.push_back(receiveRequest(pair.b.get()));
        for (int i = 1; i < kCalls; ++i) {
            answer(pair.b.get(), calls[i], OK, Bytes(i <= 4 ? kLarge : 4, 0));
        }
        // Silent from here: the calls asked again are read and never answered.
        while (receiveRequest(pair.b.get()).status == OK) {
        }
    });
    auto start = Clock::now();
    Parcel reply;
    std::vector<status_t> results;
    while (pipeline.size() > 0) results.push_back(pipeline.takeOldest(&reply));
    auto took = Clock::now() - start;
    proxy = nullptr;
    pair.b.reset();
    host.join();
    ASSERT_EQ(results.size(), size_t{kCalls});
    EXPECT_EQ(results[0], -ETIMEDOUT);
    for (int i = 1; i <= 4; ++i) EXPECT_EQ(results[i], OK) << i;
    EXPECT_EQ(results.back(), -ETIMEDOUT) << "asked again, never answered";
    // Two timeouts in all; one each would be 36 more. The bound is ten.
    EXPECT_LT(took, std::chrono::milliseconds(10 * kShortMs));
}

}  // namespace
}  // namespace zorlek::test
