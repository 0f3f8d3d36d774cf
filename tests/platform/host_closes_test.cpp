// SPDX-License-Identifier: Apache-2.0
// A host as on a kernel that cannot refuse descriptors: a client passes it a socket whose
// last close lingers, and goes. The host ends that channel and every channel after it,
// and its descriptors go back to where they were: no close of a peer's descriptor holds
// back the closing of the host's own sockets.

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "harness/harness.h"
#include "platform/hosting/channel_server.h"
#include "platform/transport/fd_closer.h"
#include "tests/platform/socket_helpers.h"
#include "tests/support/lingering_socket.h"
#include "tests/support/wait.h"

namespace zorlek::test {
namespace {

// Far longer than any wait below: a close that waits for it is plainly seen.
constexpr int kLingerSeconds = 60;
constexpr int kGuardMs = 10000;

class Quiet : public LocalObject {
  public:
    Quiet() : LocalObject(String16("test.IQuiet")) {}
    status_t onTransact(uint32_t, Parcel&, Parcel*, uint32_t) override { return OK; }
};

struct AsOnAnOlderKernel : ::testing::Test {
    void SetUp() override { refusalByKernelForTesting(false); }
    void TearDown() override { refusalByKernelForTesting(true); }
};

TEST_F(AsOnAnOlderKernel, ALingeringSocketPassedToAHostHoldsBackNoneOfItsCloses) {
    EventLoop loop;
    ASSERT_EQ(loop.initStatus(), OK);
    ObjectTable objects;
    uint32_t handle = objects.add(make<Quiet>());
    objects.publish(handle);
    ChannelServer server(loop, HostOptions(), objects);
    ASSERT_TRUE(waitUntil([] { return closesPending() == 0; }, kGuardMs));
    int before = openDescriptors();
    // The attacker keeps its listeners: the only descriptors of the test's own left open.
    std::vector<std::unique_ptr<LingeringSocket>> kept;
    auto turnsUntilBack = [&] {
        return waitUntil(
            [&] {
                loop.runOnce(10);
                return openDescriptors() == before + static_cast<int>(kept.size());
            },
            kGuardMs);
    };
    // Each client goes at once: its call waits unread in the host's end.
    const struct {
        const char* what;
        Bytes call;
    } cases[] = {
        {"a call carrying the lingering socket", header(MSG_TRANSACT, 1, 0, 0, 1, handle)},
        {"a malformed header carrying it", header(MSG_TRANSACT, 1, 0, kMaxParcelSize + 1, 1)},
        {"a channel's end carrying it", header(MSG_CHANNEL, 0, 0, 0)},
    };
    for (const auto& c : cases) {
        kept.push_back(std::make_unique<LingeringSocket>(kLingerSeconds));
        ASSERT_TRUE(kept.back()->socket.valid());
        SocketPair attack = makeSocketPair();
        ASSERT_GT(sendRaw(attack.b.get(), c.call, {kept.back()->socket.get()}), 0) << c.what;
        kept.back()->socket.reset();
        server.adopt(std::move(attack.a), {1, 61001, 61001});
        attack.b.reset();
        EXPECT_TRUE(turnsUntilBack())
            << c.what << ": " << openDescriptors() - before - kept.size() << " more";
    }
    // Then many channels, each with a call its client never waits for.
    constexpr int kChannels = 64;
    for (int i = 0; i < kChannels; ++i) {
        SocketPair pair = makeSocketPair();
        ASSERT_GT(sendRaw(pair.b.get(), header(MSG_TRANSACT, 1, 0, 0, 1, handle)), 0);
        server.adopt(std::move(pair.a), {1, 61002, 61002});
    }
    EXPECT_TRUE(turnsUntilBack()) << openDescriptors() - before - kept.size() << " more";
}

}  // namespace
}  // namespace zorlek::test
