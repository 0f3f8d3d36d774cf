// SPDX-License-Identifier: Apache-2.0
// The owning descriptor type, the timeout setting's reading rule, the registry path rule,
// and the event loop's end.

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "platform/base/call_timeout.h"
#include "platform/base/registry_path.h"
#include "platform/transport/event_loop.h"
#include "tests/platform/socket_helpers.h"

namespace zorlek::test {
namespace {

TEST(UniqueFd, ClosesWhenDestroyedOrReset) {
    Pipe pipe = makePipe();
    {
        unique_fd copy(::dup(pipe.write.get()));
        pipe.write.reset();
        EXPECT_FALSE(pipe.writersClosedNow());
    }
    EXPECT_TRUE(pipe.allWritersClosed());

    Pipe other = makePipe();
    unique_fd held(::dup(other.write.get()));
    other.write.reset();
    held.reset();
    EXPECT_FALSE(held.valid());
    EXPECT_TRUE(other.allWritersClosed());
}

TEST(UniqueFd, MovesOwnershipAndReleases) {
    Pipe pipe = makePipe();
    unique_fd first(::dup(pipe.write.get()));
    pipe.write.reset();
    int raw = first.get();
    unique_fd second(std::move(first));
    EXPECT_FALSE(first.valid());
    EXPECT_EQ(second.get(), raw);
    unique_fd third;
    third = std::move(second);
    EXPECT_EQ(third.get(), raw);
    EXPECT_FALSE(pipe.writersClosedNow());
    int released = third.release();
    EXPECT_FALSE(third.valid());
    EXPECT_FALSE(pipe.writersClosedNow()) << "release does not close";
    ::close(released);
    EXPECT_TRUE(pipe.allWritersClosed());
}

TEST(CallTimeout, ReadsOnlyPlainDigitsInRange) {
    struct Case {
        const char* text;
        int expected;
    };
    const Case cases[] = {
        {nullptr, 10000},
        {"", 10000},
        {"1", 1},
        {"250", 250},
        {"007", 7},
        {"2147483647", 2147483647},
        {"2147483648", 10000},
        {"99999999999999999999999", 10000},
        {"0", 10000},
        {"000", 10000},
        {"-5", 10000},
        {"+5", 10000},
        {" 5", 10000},
        {"5 ", 10000},
        {"5ms", 10000},
        {"0x10", 10000},
        {"1e3", 10000},
        {"\xd9\xa5", 10000},  // an Arabic-Indic digit is not ASCII
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parseCallTimeoutMs(c.text), c.expected) << (c.text ? c.text : "(null)");
    }
}

TEST(RegistryPath, EnvironmentWhenSetAndNotEmpty) {
    const char* saved = std::getenv("ZORLEK_REGISTRY");
    std::string keep = saved != nullptr ? saved : "";
    ::unsetenv("ZORLEK_REGISTRY");
    EXPECT_STREQ(registryPath(), "/run/zorlek/registry.sock");
    ::setenv("ZORLEK_REGISTRY", "", 1);
    EXPECT_STREQ(registryPath(), "/run/zorlek/registry.sock");
    ::setenv("ZORLEK_REGISTRY", "/tmp/x/reg.sock", 1);
    EXPECT_STREQ(registryPath(), "/tmp/x/reg.sock");
    if (saved != nullptr) {
        ::setenv("ZORLEK_REGISTRY", keep.c_str(), 1);
    } else {
        ::unsetenv("ZORLEK_REGISTRY");
    }
}

// A source that, like a connection, takes itself off its loop when destroyed.
struct SelfForgetting : EventSource {
    EventLoop& loop;
    int* destroyed;
    SelfForgetting(EventLoop& on, int* count) : loop(on), destroyed(count) {}
    ~SelfForgetting() override {
        loop.forget(this);
        ++*destroyed;
    }
    void onEvents(uint32_t) override {}
};

// Sources retired outside a batch, one with its wake still pending, are destroyed with the
// loop while the loop can still take their calls (the sanitizer build sees a call into a
// destroyed part).
TEST(EventLoop, SourcesRetiredAtItsEndMayStillCallBackIntoIt) {
    int destroyed = 0;
    auto loop = std::make_unique<EventLoop>();
    ASSERT_EQ(loop->initStatus(), OK);
    auto woken = std::make_unique<SelfForgetting>(*loop, &destroyed);
    loop->wake(woken.get());
    loop->retire(std::make_unique<SelfForgetting>(*loop, &destroyed));
    loop->retire(std::move(woken));
    loop.reset();
    EXPECT_EQ(destroyed, 2);
}

}  // namespace
}  // namespace zorlek::test
