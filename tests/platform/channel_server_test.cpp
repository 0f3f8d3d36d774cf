// SPDX-License-Identifier: Apache-2.0
// A host's end of a channel in one process: each call is served as the process the kernel
// names with that very message, and a call that came without the kernel's word on its
// sender is refused, never served as whoever the registry saw open the channel.

#include <gtest/gtest.h>

#include <thread>

#include "platform/hosting/channel_server.h"
#include "tests/platform/socket_helpers.h"
#include "tests/support/wire_peer.h"

namespace zorlek::test {
namespace {

// Answers every call with who sent it: uid, then pid.
class WhoCalls : public LocalObject {
  public:
    WhoCalls() : LocalObject(String16("test.IWhoCalls")) {}
    status_t onTransact(uint32_t, Parcel&, Parcel* reply, uint32_t) override {
        ++calls;
        reply->writeInt32(static_cast<int32_t>(callingUid()));
        return reply->writeInt32(static_cast<int32_t>(callingPid()));
    }
    std::atomic<int> calls{0};
};

TEST(ChannelServer, ACallIsServedAsItsSenderOrNotAtAll) {
    EventLoop loop;
    ASSERT_EQ(loop.initStatus(), OK);
    ObjectTable objects;
    sp<WhoCalls> object = make<WhoCalls>();
    uint32_t handle = objects.add(object);
    objects.publish(handle);
    HostOptions options;
    ChannelServer server(loop, options, objects);
    SocketPair pair = makeSocketPair();
    // Sent before the host's end asked the kernel for credentials, as over a channel whose
    // maker did not ask in time: it arrives without them.
    ASSERT_EQ(sendMessage(pair.b.get(), {MSG_TRANSACT, 1, 0, 0, 1, handle}, nullptr, 0), OK);
    // The registry saw another process, of another user, look the name up.
    const ucred opener = {1, 4242, 4242};
    server.adopt(std::move(pair.a), opener);
    ASSERT_EQ(sendMessage(pair.b.get(), {MSG_TRANSACT, 1, 0, 0, 2, handle}, nullptr, 0), OK);
    std::thread serving([&] { loop.run(); });
    struct Row {
        uint32_t serial;
        status_t status;
        Bytes reply;
    };
    const Row rows[] = {
        {1, -EACCES, {}},
        {2, OK, cat({i32(::getuid()), i32(static_cast<uint32_t>(::getpid()))})},
    };
    for (const Row& row : rows) {
        MessageHeader header;
        Parcel reply;
        ASSERT_EQ(receiveMessage(pair.b.get(), &header, &reply), OK) << row.serial;
        EXPECT_EQ(header.type, uint32_t{MSG_REPLY}) << row.serial;
        EXPECT_EQ(header.serial, row.serial);
        EXPECT_EQ(header.value, row.status) << row.serial;
        EXPECT_EQ(bytesOf(reply.data(), reply.dataSize()), row.reply) << row.serial;
    }
    loop.stop();
    serving.join();
    EXPECT_EQ(object->calls.load(), 1) << "the call without credentials never reached it";
}

}  // namespace
}  // namespace zorlek::test
