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
#include "platform/ipc/object_proxy.h"
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

}  // namespace
}  // namespace zorlek::test
