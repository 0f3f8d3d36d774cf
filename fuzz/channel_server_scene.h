// SPDX-License-Identifier: Apache-2.0
// The scene of channel_server_fuzz: a host's real ChannelServer and ObjectTable in this
// process, and the clients the input plays against it (channel_server_fuzz.cpp says what
// the input means and what must hold). The steps are in channel_server_scene.cpp, the
// checks of what the host sent and held in channel_server_checks.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>

#include "fuzz/attached_descriptors.h"
#include "fuzz/hostile_peer.h"
#include "fuzz/input.h"
#include "fuzz/served_objects.h"
#include "platform/hosting/channel_server.h"

namespace zorlek::fuzz {

constexpr size_t kHostChannels = 4;

// One client's channel to the host, and what the scene knows of it.
struct FuzzChannel {
    std::unique_ptr<HostilePeer> client;  // null until the channel is made
    unique_fd hostEnd;                    // until the host adopts it
    ucred caller{};
    bool refused = false;  // the host closed it at once: past a bound
    bool closedByClient = false;
    // Every message sent whole so far is a call, so that the replies can be told.
    bool predictable = true;
    // The host may close it although its framing holds: it was sent descriptors, or
    // credentials that change so often that the reader gives up, or a message that is not
    // a call.
    bool mayClose = false;
    // What the host had left unread of its client's sends when a drain last looked.
    int unreadSeen = 0;
    // When a large message of its client was first seen sent, whole or in part (0: never):
    // from a call timeout after it, the host may close the channel for a message it had
    // not read whole in time.
    int64_t largeSince = 0;
    size_t claims = 0;
    uint32_t serial = 0;
    std::deque<OwedReply> owed;
};

class HostScene {
  public:
    HostScene(FuzzInput& input, uint8_t setting);
    ~HostScene();
    // Takes the next step of the input.
    void step();
    // Serves every channel, has every client read all there is, and checks the end state.
    void finish();

  private:
    FuzzChannel& channel(size_t index);
    void adopt(FuzzChannel& c);
    void turn();
    // Queues a call; `how` chooses its serial (bits 0-1) and its payload (bits 2-4), and for
    // the large object the size of the reply it asks (bits 5-7).
    void queueCall(FuzzChannel& c, uint32_t handle, uint32_t code, uint32_t flags, uint8_t how);
    void account(FuzzChannel& c);
    void owe(FuzzChannel& c, const Message& call);
    void takeReplies(FuzzChannel& c);
    void checkReply(FuzzChannel& c, const Message& reply);
    // Turns the loop until every client has sent all it queued, as far as the host takes
    // it, and read all there is for it.
    void drain(bool settled = false);
    // True when a channel that draws on a budget `c` draws on too holds part of a large
    // message its client left unfinished (it has sent all it queued): counted in full, it
    // may keep that budget spent, and `c` waiting, for as long as the client leaves it so.
    bool heldUp(const FuzzChannel& c) const;
    // True when `c` may have been closed for a large message it had not whole within the
    // call timeout.
    bool mayHaveExpired(const FuzzChannel& c) const;
    // Serves the channels whose clients left a large message unfinished until every one has
    // ended, as its deadline ends it, and checks that none outlives its deadline.
    void expireUnfinished();
    size_t heldByClients() const;

    FuzzInput& input_;
    AttachedDescriptors descriptors_;
    EventLoop loop_;
    ObjectTable objects_;
    std::unique_ptr<ServedObjects> served_;
    std::unique_ptr<ChannelServer> server_;
    FuzzChannel channels_[kHostChannels];
    size_t adopted_ = 0;
    size_t baseline_ = 0;
};

}  // namespace zorlek::fuzz
