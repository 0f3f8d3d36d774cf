// SPDX-License-Identifier: Apache-2.0
// The waits of a hosting process: each has one deadline that later events do not extend,
// and a stop ends it at once.

#include "tests/integration/ipc_support.h"
#include "tests/platform/fake_registry.h"

namespace zorlek::test {
namespace {

TEST(HostWaits, AStopEndsAStalledHandshakeAtOnce) {
    TempDir dir;
    std::string path = dir.path() + "/silent.sock";
    // Takes connections into its backlog and never answers.
    unique_fd listener = bindUnixSocket(path, true);
    ASSERT_TRUE(listener.valid());
    HostOptions options;
    options.timeoutMs = 20000;
    ServiceHost host(options);
    status_t connected = 1;
    auto start = Clock::now();
    std::thread connecting([&] { connected = host.connect(path.c_str()); });
    // Once its connection waits in the backlog, the handshake is under way.
    pollfd p{listener.get(), POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 10000), 1);
    host.stop();
    connecting.join();
    EXPECT_EQ(connected, -EINTR);
    // A guard: the handshake's own bound is 20 s.
    EXPECT_LT(msSince(start), 10000);
}

// A registry answers the registrations of a host that connected again one at a time, each
// a little within the bound of the one before: the bound of each runs from when its
// request went out, so the host gives the registry up once the second is overdue.
TEST(HostWaits, EachRegistrationIsBoundedFromWhenItWentOut) {
    TempDir dir;
    std::string path = dir.path() + "/trickle.sock";
    const int timeoutMs = 1000;
    std::atomic<bool> gaveUp{false};
    PlayedRegistry played(
        path,
        [&](int fd, int index) {
            if (!answerHello(fd)) return;
            if (index == 0) {
                for (int i = 0; i < 3; ++i) {
                    receiveRequest(fd);
                    reply(fd, MSG_REGISTER_REPLY, OK);
                }
                return;  // goes away: the host connects again and asks anew
            }
            for (int i = 0; i < 3; ++i) receiveRequest(fd);
            // The first answer after 0.7 s; the second would come after 1.4 s, past the
            // second request's bound though within 1 s of the first answer.
            std::this_thread::sleep_for(std::chrono::milliseconds(700));
            reply(fd, MSG_REGISTER_REPLY, OK);
            pollfd p{fd, POLLIN, 0};
            gaveUp = ::poll(&p, 1, 700) == 1 && readAvailable(fd, 0).empty();
        },
        2);
    HostOptions options;
    options.timeoutMs = timeoutMs;
    ServiceHost host(options);
    ASSERT_EQ(host.connect(path.c_str()), OK);
    for (const char* name : {"a", "b", "c"}) {
        ASSERT_EQ(host.addService(String16(name), make<LocalObject>(String16("test.IWaited"))), OK);
    }
    std::thread server([&] { host.serve(); });
    EXPECT_TRUE(waitUntil([&] { return gaveUp.load(); }, 5000));
    host.stop();
    server.join();
}

}  // namespace
}  // namespace zorlek::test
