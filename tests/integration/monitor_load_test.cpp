// SPDX-License-Identifier: Apache-2.0
// A monitor can never slow a host down: one that never reads costs the host a bounded
// buffer while every call is answered and the records it missed are counted, and one that
// leaves at any point costs it nothing after.

#include <sys/socket.h>

#include "platform/base/limits.h"
#include "tests/integration/monitor_support.h"
#include "tests/integration/reliability_support.h"

namespace zorlek::test {
namespace {

constexpr uint32_t kMarkerCode = 0x4D41524B;

struct MonitorLoad : ::testing::Test {
    Registry registry;
    std::unique_ptr<Process> echo;
    sp<RegistryClient> client;
    sp<IBinder> object;

    void SetUp() override {
        ASSERT_TRUE(registry.ready());
        echo = registry.startEcho({"load.svc"});
        ASSERT_TRUE(echo);
        client = clientOf(registry);
        ASSERT_TRUE(client);
        object = client->lookupService(String16("load.svc"));
        ASSERT_TRUE(object);
    }
    // Makes `count` two-way calls of `words` words each; how many were not answered whole.
    int calls(int count, size_t words = 16, uint32_t code = 1) {
        Parcel request;
        for (size_t i = 0; i < words; ++i) request.writeInt32(static_cast<int32_t>(i));
        int failed = 0;
        Parcel reply;
        for (int i = 0; i < count; ++i) {
            reply.clear();
            if (object->sendTransaction(code, request, &reply, 0) != OK ||
                reply.dataSize() != request.dataSize() + 4) {
                ++failed;
            }
        }
        return failed;
    }
    // Calls until a record waits on `tap`: the host takes its end of a new tap after the
    // registry hands the monitor its own, and records no call made before. False after 10 s.
    bool callUntilRecorded(int tap) {
        auto start = Clock::now();
        while (msSince(start) < 10000) {
            if (calls(1) != 0) return false;
            pollfd p{tap, POLLIN, 0};
            if (::poll(&p, 1, 50) > 0) return true;
        }
        return false;
    }
};

// Reads `tap` until a record of a marker call arrives, making a marker call whenever
// nothing waits (the one before may have been dropped while the host's queue was full).
// Then every call made is accounted for: its record came, or it was counted dropped
// before a later record. Returns the records and counts the drops, markers included.
bool drainWithMarkers(MonitorLoad& load, int tap, uint64_t* records, uint64_t* dropped,
                      uint64_t* markers) {
    auto start = Clock::now();
    while (msSince(start) < 60000) {
        pollfd p{tap, POLLIN, 0};
        if (::poll(&p, 1, 50) == 0) {
            if (load.calls(1, 1, kMarkerCode) != 0) return false;
            ++*markers;
            continue;
        }
        TapMessage got;
        if (nextOnTap(tap, &got) != OK) return false;
        if (got.header.type == MSG_RECORDS_DROPPED) {
            *dropped += got.header.code;
        } else if (got.record.code == kMarkerCode) {
            ++*records;
            return true;
        } else {
            ++*records;
        }
    }
    return false;
}

TEST_F(MonitorLoad, AMonitorThatNeverReadsCostsTheHostABoundedBuffer) {
    unique_fd tap = tapOn(registry, "load.svc", 256);
    ASSERT_TRUE(tap.valid());
    // The tap's queue and the socket fill within the first calls.
    ASSERT_EQ(calls(3000), 0);
    Footprint filled = quietFootprintOf(echo->pid());
    ASSERT_EQ(calls(20000), 0) << "every call answered while the monitor does not read";
    Footprint after = quietFootprintOf(echo->pid());
    if (!kSanitized) {
        EXPECT_LE(after.rssKb, filled.rssKb + kRssSlackKb) << "the host's memory stays flat";
    }
    EXPECT_EQ(after.fds, filled.fds);
    uint64_t records = 0, dropped = 0, markers = 0;
    ASSERT_TRUE(drainWithMarkers(*this, tap.get(), &records, &dropped, &markers));
    EXPECT_EQ(records + dropped, 23000 + markers) << "each call shown or counted";
    EXPECT_GT(dropped, 10000u);
    // What was queued for the monitor is bounded: a tap's queue and a socket's buffer.
    EXPECT_LT(records * 200, 4 * kTapQueueBytes + 4 * 1024 * 1024);
}

// A burst whose records pass a tap's queue before its batch is due: they leave as soon as
// enough wait, so a monitor that reads later loses none of them.
TEST_F(MonitorLoad, ABurstOverTheQueueLeavesBeforeItsBatchIsDue) {
    unique_fd tap = tapOn(registry, "load.svc", 4096);
    ASSERT_TRUE(tap.valid());
    // A channel made after the tap: the host took the tap before it, so every call is seen.
    client = clientOf(registry);
    object = client ? client->lookupService(String16("load.svc")) : nullptr;
    ASSERT_TRUE(object);
    // Records of about 8 KiB (the request and the reply each cut at 4,000 bytes): 1.25
    // queues' worth, under what the queue and the socket's buffer hold together.
    const int burst = static_cast<int>(kTapQueueBytes * 5 / 4 / 8000);
    ASSERT_EQ(calls(burst, 1000), 0);
    uint64_t records = 0, dropped = 0, markers = 0;
    ASSERT_TRUE(drainWithMarkers(*this, tap.get(), &records, &dropped, &markers));
    EXPECT_EQ(dropped, 0u);
    EXPECT_EQ(records, burst + markers);
}

// The monitor closes its tap at each point of its life; the host goes on answering, and
// holds nothing for it after (not one descriptor more, its memory back within the slack).
TEST_F(MonitorLoad, AMonitorThatLeavesAtAnyPointCostsTheHostNothing) {
    enum Point {
        kAtOnce,
        kAfterARecord,
        kMidMessage,
        kQueueFull,
        kAfterWriting,
        kAfterAMessage,
        kRegistryGone
    };
    const struct {
        const char* what;
        Point point;
    } cases[] = {
        {"before any call", kAtOnce},
        {"after reading a record", kAfterARecord},
        {"in the middle of a message", kMidMessage},
        {"with the host's queue full", kQueueFull},
        {"after writing to the tap", kAfterWriting},
        {"after sending a message of a type no one knows", kAfterAMessage},
        {"after its registry connection closed", kRegistryGone},
    };
    ASSERT_EQ(calls(100), 0);
    Footprint baseline = quietFootprintOf(echo->pid());
    for (const auto& c : cases) {
        sp<RegistryClient> monitor = clientOf(registry);
        ASSERT_TRUE(monitor);
        uint32_t handle = 0;
        unique_fd tap;
        ASSERT_EQ(monitor->monitor(String16("load.svc"), 64, &handle, &tap), OK) << c.what;
        TapMessage got;
        switch (c.point) {
            case kAtOnce:
                break;
            case kAfterARecord:
                ASSERT_TRUE(callUntilRecorded(tap.get())) << c.what;
                ASSERT_EQ(nextOnTap(tap.get(), &got), OK) << c.what;
                break;
            case kMidMessage: {
                ASSERT_TRUE(callUntilRecorded(tap.get())) << c.what;
                uint8_t half[kHeaderSize / 2];
                ASSERT_EQ(::recv(tap.get(), half, sizeof half, MSG_WAITALL), ssize_t(sizeof half));
                break;
            }
            case kQueueFull:
                ASSERT_EQ(calls(5000), 0);
                break;
            case kAfterWriting:
                ASSERT_EQ(::send(tap.get(), "junk", 4, MSG_NOSIGNAL), 4);
                ASSERT_EQ(calls(1), 0);
                break;
            case kAfterAMessage: {
                // The host ends the tap itself, before the monitor closes it.
                Bytes junk = header(0x7777, 0, 0, 0);
                ASSERT_EQ(::send(tap.get(), junk.data(), junk.size(), MSG_NOSIGNAL),
                          ssize_t(junk.size()));
                ASSERT_EQ(calls(1), 0);
                // The call's record may have gone before the host read the message.
                status_t read = nextOnTap(tap.get(), &got);
                if (read == OK && got.header.type == MSG_CALL_RECORD) {
                    read = nextOnTap(tap.get(), &got);
                }
                EXPECT_EQ(read, -EPIPE) << c.what;
                break;
            }
            case kRegistryGone:
                monitor = nullptr;
                ASSERT_EQ(calls(1), 0);
                ASSERT_EQ(nextOnTap(tap.get(), &got), OK) << c.what << ": the tap outlives it";
                break;
        }
        tap.reset();
        monitor = nullptr;
        EXPECT_EQ(calls(200), 0) << c.what;
        Footprint now;
        EXPECT_TRUE(backTo(echo->pid(), baseline, &now))
            << c.what << ": " << now.fds << " descriptors (" << baseline.fds << " before), "
            << now.rssKb << " KiB (" << baseline.rssKb << " before)";
    }
}

}  // namespace
}  // namespace zorlek::test
