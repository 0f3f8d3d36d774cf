// SPDX-License-Identifier: Apache-2.0
// A hosting process's registry connection against a registry played by hand: a
// registration whose request could not be built is not sent, empty, in its place, and
// leaves nothing waiting for an answer, so the answers that follow pair with the names
// that were sent. (One that found no memory in its queue: no_allocation_test.cpp.)

#include <gtest/gtest.h>

#include "tests/platform/fake_registry.h"

namespace zorlek::test {
namespace {

TEST_F(ClientFixture, ARegistrationThatCouldNotBeSentAwaitsNoAnswer) {
    std::vector<Registration> asked;
    bool closed = false;
    {
        PlayedRegistry registry(path, [&](int fd, int) {
            closed = answerHello(fd) && answerRegistrations(fd, &asked);
        });
        LinkedHost host;
        ASSERT_EQ(host.link.connect(path.c_str()), OK);
        // Its request would pass the size limit, as one whose parcel finds no memory fails.
        const String16 tooLong(std::u16string(kMaxParcelSize / 2, u'x'));
        status_t refused = 1;
        EXPECT_EQ(host.link.add(tooLong, host.object, &refused), -EMSGSIZE);
        EXPECT_EQ(refused, 1) << "nothing waits for an answer to it";
        status_t result = 1;
        ASSERT_EQ(host.link.add(String16("good"), host.object, &result), OK);
        host.runUntil([&] { return result != 1; });
        EXPECT_EQ(result, OK) << "the answer went to the name it answers";
        EXPECT_TRUE(host.link.isRegistered(String16("good")));
        EXPECT_FALSE(host.link.isRegistered(tooLong));
        EXPECT_EQ(host.objects.find(1), host.object.get())
            << "served under the handle it was sent with";
        // Forgotten: added again, it fails the same way, not as a name this host serves.
        EXPECT_EQ(host.link.add(tooLong, host.object, &refused), -EMSGSIZE);
        host.link.disconnect(-EPIPE);
    }
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].name, String16("good"));
    EXPECT_EQ(asked[0].handle, 1u);
    EXPECT_TRUE(closed);
}

}  // namespace
}  // namespace zorlek::test
