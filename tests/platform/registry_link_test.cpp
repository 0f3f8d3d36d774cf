// SPDX-License-Identifier: Apache-2.0
// A hosting process's registry connection against a registry played by hand: a
// registration whose request could not be built is not sent, empty, in its place, and
// leaves nothing waiting for an answer, so the answers that follow pair with the names
// that were sent. (One that found no memory in its queue: no_allocation_test.cpp.)

#include <gtest/gtest.h>

#include "platform/hosting/registry_link.h"
#include "tests/platform/fake_registry.h"
#include "tests/support/wait.h"

namespace zorlek::test {
namespace {

struct Registered {
    String16 name;
    uint32_t handle = 0;
};

TEST_F(ClientFixture, ARegistrationThatCouldNotBeSentAwaitsNoAnswer) {
    std::vector<Registered> asked;
    bool closed = false;
    {
        // Answers each registration at once, until the host closes.
        PlayedRegistry registry(path, [&](int fd, int) {
            if (!answerHello(fd)) return;
            for (;;) {
                Incoming in = receive(fd);
                if (in.status != OK) {
                    closed = in.status == -EPIPE;
                    return;
                }
                if (in.header.type != MSG_REGISTER) return;
                asked.push_back({in.payload.readString16(), in.header.object});
                if (reply(fd, MSG_REGISTER_REPLY, OK) != OK) return;
            }
        });
        EventLoop loop;
        ObjectTable objects;
        HostOptions options;
        options.timeoutMs = kLongMs;
        ChannelServer channels(loop, options, objects);
        RegistryLink link(loop, objects, channels, options);
        ASSERT_EQ(link.connect(path.c_str()), OK);
        sp<LocalObject> object = make<LocalObject>(String16("test.IThing"));
        // Its request would pass the size limit, as one whose parcel finds no memory fails.
        const String16 tooLong(std::u16string(kMaxParcelSize / 2, u'x'));
        status_t refused = 1;
        EXPECT_EQ(link.add(tooLong, object, &refused), -EMSGSIZE);
        EXPECT_EQ(refused, 1) << "nothing waits for an answer to it";
        status_t result = 1;
        ASSERT_EQ(link.add(String16("good"), object, &result), OK);
        auto start = Clock::now();
        while (result == 1 && msSince(start) < kLongMs) loop.runOnce(kLongMs);
        EXPECT_EQ(result, OK) << "the answer went to the name it answers";
        EXPECT_TRUE(link.isRegistered(String16("good")));
        EXPECT_FALSE(link.isRegistered(tooLong));
        EXPECT_EQ(objects.find(1), object.get()) << "served under the handle it was sent with";
        // Forgotten: added again, it fails the same way, not as a name this host serves.
        EXPECT_EQ(link.add(tooLong, object, &refused), -EMSGSIZE);
        link.disconnect(-EPIPE);
    }
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].name, String16("good"));
    EXPECT_EQ(asked[0].handle, 1u);
    EXPECT_TRUE(closed);
}

}  // namespace
}  // namespace zorlek::test
