// SPDX-License-Identifier: Apache-2.0
// A host's large requests against peers that begin them and never finish: a begun request
// ends within the call timeout from its beginning, whatever bytes trickle in meanwhile, or
// its channel closes, and what it held of the users' shared budget serves the others. The
// call timeout is read once per process, so this program sets it before anything reads it.

#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>

#include <cstdlib>
#include <thread>
#include <vector>

#include "platform/hosting/channel_server.h"
#include "tests/platform/socket_helpers.h"
#include "tests/support/wait.h"
#include "tests/support/wire_peer.h"

namespace zorlek::test {
namespace {

// Before main, so that nothing can have read the variable first.
const bool kTimeoutSet = ::setenv("ZORLEK_CALL_TIMEOUT_MS", "400", 1) == 0;
// A few call timeouts are expected; this guards against a hang only.
constexpr int kGuardMs = 15000;

// Answers every call with the size of its request.
class Sizes : public LocalObject {
  public:
    Sizes() : LocalObject(String16("test.ISizes")) {}
    status_t onTransact(uint32_t, Parcel& request, Parcel* reply, uint32_t) override {
        return reply->writeInt32(static_cast<int32_t>(request.dataSize()));
    }
};

size_t unreadByHost(int sock) {
    int unread = 0;
    return ::ioctl(sock, SIOCOUTQ, &unread) == 0 && unread >= 0 ? static_cast<size_t>(unread) : 1;
}

// True once the host has closed its end of `sock` (its bytes read to their end).
bool endedByHost(int sock) {
    pollfd p{sock, POLLIN, 0};
    if (::poll(&p, 1, 0) != 1) return false;
    char byte;
    return ::recv(sock, &byte, 1, MSG_DONTWAIT) <= 0;
}

TEST(LargeRequests, OnesThatNeverEndCloseInTimeAndLetAnotherUserIn) {
    ASSERT_TRUE(kTimeoutSet);
    EventLoop loop;
    ASSERT_EQ(loop.initStatus(), OK);
    ObjectTable objects;
    uint32_t handle = objects.add(make<Sizes>());
    objects.publish(handle);
    // Room for two 1 MiB requests of one user, three of all the others together.
    HostOptions options;
    options.userBudgetBytes = 2 * kMaxParcelSize;
    options.othersBudgetBytes = 3 * kMaxParcelSize;
    ChannelServer server(loop, options, objects);
    // Two users begin two requests of 1 MiB each and send 4 bytes of them, then nothing:
    // one of each begins, and together they hold what the third user's request needs.
    std::vector<SocketPair> attackers;
    for (uid_t uid : {61001u, 61002u}) {
        for (int i = 0; i < 2; ++i) {
            SocketPair pair = makeSocketPair();
            Bytes begun = cat({header(MSG_TRANSACT, 1, 0, kMaxParcelSize, 1, handle), i32(0)});
            ASSERT_EQ(sendRaw(pair.b.get(), begun), ssize_t(begun.size()));
            server.adopt(std::move(pair.a), {1, uid, uid});
            attackers.push_back(std::move(pair));
        }
    }
    SocketPair third = makeSocketPair();
    server.adopt(std::move(third.a), {1, 61003, 61003});
    std::thread serving([&] { loop.run(); });
    struct Stop {
        EventLoop& loop;
        std::thread& serving;
        ~Stop() {
            loop.stop();
            serving.join();
        }
    } stop{loop, serving};
    // The host has read every attacker's bytes, so theirs began before the third's came.
    ASSERT_TRUE(waitUntil(
        [&] {
            for (SocketPair& pair : attackers) {
                if (unreadByHost(pair.b.get()) > 0) return false;
            }
            return true;
        },
        kGuardMs));
    Bytes request(kMaxParcelSize - 1024, 7);
    status_t sent = -1;
    std::thread sending([&] {
        sent = sendMessage(third.b.get(), {MSG_TRANSACT, 1, 0, 0, 1, handle}, request.data(),
                           request.size(), -1, kGuardMs);
    });
    // The attackers trickle on: bytes that come do not put off the end of what began.
    for (SocketPair& pair : attackers) {
        Bytes more = i32(0);
        ::send(pair.b.get(), more.data(), more.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    }
    MessageHeader header;
    Parcel reply;
    EXPECT_EQ(receiveMessage(third.b.get(), &header, &reply, nullptr, kMaxParcelSize, kGuardMs),
              OK);
    sending.join();
    EXPECT_EQ(sent, OK);
    EXPECT_EQ(header.type, uint32_t{MSG_REPLY});
    EXPECT_EQ(header.value, OK);
    EXPECT_EQ(bytesOf(reply), i32(static_cast<uint32_t>(request.size())));
    // Every attacker's channel has ended: its request began, in time, and was never whole.
    for (SocketPair& pair : attackers) {
        EXPECT_TRUE(waitUntil([&] { return endedByHost(pair.b.get()); }, kGuardMs));
    }
}

}  // namespace
}  // namespace zorlek::test
