// SPDX-License-Identifier: Apache-2.0
// A host that passes lingering sockets (whose last close blocks for as long as the host
// chose) with its replies, with one more reply that the client never reads, and with a
// message that is no reply: the client's calls, alone and in a pipeline, and the close of
// the channel take no longer than without them, with the kernel refusing descriptors and as
// on an older kernel.

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "platform/ipc/call_pipeline.h"
#include "platform/transport/object_proxy.h"
#include "platform/transport/fd_closer.h"
#include "tests/platform/socket_helpers.h"
#include "tests/support/lingering_socket.h"
#include "tests/support/wait.h"

namespace zorlek::test {
namespace {

// Far longer than the guard: a close that waits for one is plainly seen.
constexpr int kLingerSeconds = 60;
constexpr int kGuardMs = 10000;

class ClientLinger : public ::testing::Test {
  protected:
    void TearDown() override { refusalByKernelForTesting(true); }
};

// Sends `bytes` with a lingering socket attached, as the attacker does, and lets go of its
// own copy so that the receiver's close would be the last. Where the receiver refuses
// descriptors the bytes go without it, and the attacker's copy is closed harmlessly.
void sendWithLingering(int peer, const Bytes& bytes,
                       std::vector<std::unique_ptr<LingeringSocket>>& kept) {
    kept.push_back(std::make_unique<LingeringSocket>(kLingerSeconds));
    LingeringSocket& lingering = *kept.back();
    if (sendRaw(peer, bytes, {lingering.socket.get()}) < 0) {
        lingering.disarm();
        sendRaw(peer, bytes);
    }
    lingering.socket.reset();
}

TEST_F(ClientLinger, LingeringSocketsInRepliesStallNeitherCallsNorTheClose) {
    // How the host's messages come: replies to a call alone, to a pipeline of three, or,
    // ahead of them, a message of the type that carries a channel's end (which only the
    // registry sends): the client's reader hands its descriptor over with it, and the
    // client refuses the message and ends the channel.
    enum Case { kAlone, kPipelined, kNoReply };
    for (bool kernelRefuses : {true, false}) {
        for (Case c : {kAlone, kPipelined, kNoReply}) {
            SCOPED_TRACE(
                std::string(kernelRefuses ? "with SO_PASSRIGHTS" : "as on an older kernel") +
                (c == kAlone       ? ", alone"
                 : c == kPipelined ? ", pipelined"
                                   : ", no reply"));
            refusalByKernelForTesting(kernelRefuses);
            // The attacker's sockets stay listening until the end, as the attacker keeps them.
            std::vector<std::unique_ptr<LingeringSocket>> kept;
            SocketPair pair = makeSocketPair();
            // As the registry makes every channel: neither end takes descriptors, where the
            // kernel can refuse them.
            refuseDescriptors(pair.a.get());
            refuseDescriptors(pair.b.get());
            sp<ObjectProxy> proxy = proxyOn(std::move(pair.a), kGuardMs);
            int peer = pair.b.get();
            const uint32_t calls = c == kPipelined ? 3 : 1;
            // A reply that came with a descriptor is the host not speaking the protocol.
            status_t expected = kernelRefuses ? OK : -EBADMSG;
            if (c == kNoReply) {
                sendWithLingering(peer, header(MSG_CHANNEL, 0, 0, 0), kept);
                expected = -EBADMSG;
            }
            // The host knows the serials to come (a channel numbers its calls from 1), so it
            // answers them before they are made, and lets go of its copies while they are in
            // flight: the client's closes are the last. Then one more reply that nobody
            // waits for, left unread in the client's queue.
            for (uint32_t serial = 1; serial <= calls; ++serial) {
                sendWithLingering(peer, cat({header(MSG_REPLY, 1, 0, 4, serial), i32(7)}), kept);
            }
            sendWithLingering(peer, header(MSG_REPLY, 1, 0, 0, 0x40000000u), kept);
            Bytes reply = expected == OK ? i32(7) : Bytes();
            auto start = Clock::now();
            Parcel got;
            if (c == kPipelined) {
                CallPipeline pipeline(calls);
                for (uint32_t i = 0; i < calls; ++i) pipeline.add(proxy, 1, Parcel());
                for (uint32_t i = 0; i < calls; ++i) {
                    EXPECT_EQ(pipeline.takeOldest(&got), expected);
                    EXPECT_EQ(bytesOf(got), reply);
                }
            } else {
                EXPECT_EQ(proxy->sendTransaction(1, Parcel(), &got, 0), expected);
                EXPECT_EQ(bytesOf(got), reply);
            }
            // The last proxy goes, and with it the channel, the unread reply still in it.
            proxy.reset();
            EXPECT_LT(msSince(start), kGuardMs);
            EXPECT_EQ(kept.size(), calls + 1 + (c == kNoReply ? 1 : 0));
        }
    }
}

}  // namespace
}  // namespace zorlek::test
