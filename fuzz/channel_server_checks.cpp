// SPDX-License-Identifier: Apache-2.0
// What channel_server_fuzz checks: the replies each client is owed, read as they come,
// and the state every channel ends in once all is served.
#include <cstddef>
#include <cstdint>

#include "fuzz/channel_server_scene.h"
#include "fuzz/check.h"
#include "fuzz/loop_turns.h"

namespace zorlek::fuzz {

void HostScene::account(FuzzChannel& c) {
    Message message;
    while (c.client->nextSent(&message) == 1) owe(c, message);
}

void HostScene::owe(FuzzChannel& c, const Message& call) {
    if (!c.predictable) return;
    const MessageHeader& header = call.header;
    if (header.type != MSG_TRANSACT) {
        c.predictable = false;
        c.mayClose = true;
        return;
    }
    OwedReply owed;
    if (owedFor(call, &owed)) c.owed.push_back(owed);
}

void HostScene::takeReplies(FuzzChannel& c) {
    if (!c.client->open()) return;
    Message reply;
    int got;
    while ((got = c.client->nextReceived(&reply)) == 1) checkReply(c, reply);
    check(got == 0 || got == -EPIPE, "the host's replies are well-formed");
}

void HostScene::checkReply(FuzzChannel& c, const Message& reply) {
    check(!c.refused, "a channel past the host's bounds is served nothing");
    if (c.owed.empty()) {
        check(!c.predictable, "a reply comes only for a two-way call that was not withheld");
        return;
    }
    checkOwed(c.owed.front(), reply);
    c.owed.pop_front();
}

void HostScene::drain(bool settled) {
    drainTurns([this] { turn(); },
               [this] {
                   bool any = false;
                   for (FuzzChannel& c : channels_) {
                       if (!c.client || !c.client->open() || c.client->ended()) continue;
                       // What the client queued goes, as far as the host takes it.
                       size_t queued = c.client->queued();
                       c.client->sendQueued();
                       account(c);
                       any = any || c.client->queued() != queued;
                       // The host reads a send that came with descriptors apart
                       // from the next: its calls may take a turn each.
                       int unread = c.client->unreadByOtherSide();
                       any = any || unread != c.unreadSeen;
                       c.unreadSeen = unread;
                       uint64_t before = c.client->receivedBytes();
                       takeReplies(c);
                       any = any || c.client->receivedBytes() != before || c.client->ended();
                   }
                   return any;
               },
               settled);
}

void HostScene::finish() {
    // The channels the input never had adopted are served now.
    for (FuzzChannel& c : channels_) {
        if (c.client) adopt(c);
    }
    drain();
    // A channel the host closed aside ends for its client once the closer thread has closed
    // it, which a socket that lingers holds up: those are reset first.
    descriptors_.endLingering();
    drain(true);
    for (FuzzChannel& c : channels_) {
        if (!c.client || c.closedByClient) continue;
        if (c.refused) {
            check(c.client->ended(), "a channel past the host's bounds is closed");
        } else if (c.client->sentMalformed()) {
            // Unless the host has not read as far as the break: its user's budget is held.
            check(c.client->ended() || heldUp(c), "a channel whose framing breaks is closed");
        } else if (c.predictable && !c.mayClose) {
            check(!c.client->ended(), "a channel that keeps to the protocol stays open");
            check(c.client->queued() == 0 || heldUp(c),
                  "a channel that keeps to the protocol takes all its client sends");
            check(c.owed.empty() || heldUp(c),
                  "every call owed a reply is answered once its client reads");
        }
    }
    check(served_->unpublishedCalls() == 0, "an object never published is never called");
    // Every client leaves.
    for (FuzzChannel& c : channels_) c.client.reset();
    for (int i = 0; i < 4; ++i) turn();
    check(closesAsideDone(10000), "the descriptors closed aside are closed");
    check(descriptors_.allClosed(), "no descriptor a client attached stays open in the host");
}

}  // namespace zorlek::fuzz
