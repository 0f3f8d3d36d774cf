// SPDX-License-Identifier: Apache-2.0
// The platform's own reading of the environment: ZORLEK_CALL_TIMEOUT_MS bounds the
// waits of proxies and of defaultServiceManager() and is read once per process, and
// ZORLEK_REGISTRY names the registry; ZORLEK_POLL=0 turns polling off, read at each
// channel. This program sets the first two before anything reads them.

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <cstdlib>

#include "harness/harness.h"
#include "platform/base/call_timeout.h"
#include "platform/transport/object_proxy.h"
#include "platform/ipc/service_manager.h"
#include "platform/transport/poll_budget.h"
#include "tests/platform/socket_helpers.h"

namespace zorlek::test {
namespace {

// Before main, so that nothing can have read the variable first.
const bool kTimeoutSet = ::setenv("ZORLEK_CALL_TIMEOUT_MS", "120", 1) == 0;

using Clock = std::chrono::steady_clock;

TEST(EnvTimeout, IsReadOnceFromTheEnvironment) {
    ASSERT_TRUE(kTimeoutSet);
    EXPECT_EQ(callTimeoutMs(), 120);
    ::setenv("ZORLEK_CALL_TIMEOUT_MS", "5000", 1);
    EXPECT_EQ(callTimeoutMs(), 120) << "read once per process";
    ::setenv("ZORLEK_CALL_TIMEOUT_MS", "120", 1);
}

TEST(EnvPolling, IsOffWithZeroOnlyAndReadAtEachChannel) {
    struct {
        const char* value;  // null: unset
        bool allowed;
    } rows[] = {{nullptr, true}, {"0", false}, {"1", true}, {"", true}, {"00", true}, {"0", false}};
    for (const auto& row : rows) {
        if (row.value == nullptr) {
            ::unsetenv("ZORLEK_POLL");
        } else {
            ::setenv("ZORLEK_POLL", row.value, 1);
        }
        EXPECT_EQ(pollingAllowed(), row.allowed) << (row.value ? row.value : "unset");
    }
    ::unsetenv("ZORLEK_POLL");
}

TEST(EnvTimeout, BoundsAProxyCall) {
    SocketPair pair = makeSocketPair();
    sp<ObjectProxy> proxy = proxyOn(std::move(pair.a), callTimeoutMs());
    auto start = Clock::now();
    EXPECT_EQ(proxy->sendTransaction(1, Parcel(), nullptr, 0), -ETIMEDOUT);
    auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(115));
    // A guard against a hang, over ten times the bound: without it the call never ends.
    EXPECT_LT(took, std::chrono::milliseconds(1500));
}

TEST(EnvTimeout, BoundsTheRegistryHandshake) {
    TempDir dir;
    std::string path = dir.path() + "/silent.sock";
    // Something that accepts connections (the kernel does, from the backlog) but never
    // answers.
    unique_fd listener = bindUnixSocket(path, true);
    ASSERT_TRUE(listener.valid());
    ::setenv("ZORLEK_REGISTRY", path.c_str(), 1);
    auto start = Clock::now();
    EXPECT_FALSE(defaultServiceManager());
    auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(115));
    // A guard against a hang, over ten times the bound: without it the handshake never ends.
    EXPECT_LT(took, std::chrono::milliseconds(1500));

    // That a missing socket fails at once, not after the bound, is checked by
    // ClientFixture.NoSocketMeansNoServiceManager with a bound long enough to tell.
    ::setenv("ZORLEK_REGISTRY", (dir.path() + "/absent.sock").c_str(), 1);
    EXPECT_FALSE(defaultServiceManager());
    ::unsetenv("ZORLEK_REGISTRY");
}

}  // namespace
}  // namespace zorlek::test
