// SPDX-License-Identifier: Apache-2.0
// What channel_server_fuzz checks: the replies each client is owed, read as they come,
// and the state every channel ends in once all is served.
#include <cstddef>
#include <cstdint>

#include "fuzz/channel_server_scene.h"
#include "fuzz/check.h"
#include "fuzz/loop_turns.h"
#include "platform/base/call_timeout.h"
#include "platform/base/deadline.h"

namespace zorlek::fuzz {

namespace {

// A message at least this large may be read by the host in more than one go (its read
// buffer is 16 KiB): the host then follows it with a deadline.
constexpr uint32_t kMayBeLarge = 8 * 1024;
// How long past a deadline the loop may take to end its channel on a loaded machine.
constexpr int64_t kLateMs = 2000;

}  // namespace

void HostScene::account(FuzzChannel& c) {
    if (c.largeSince == 0 && c.client->sentLargeInPart()) c.largeSince = monotonicMs();
    Message message;
    while (c.client->nextSent(&message) == 1) {
        if (c.largeSince == 0 && message.header.size >= kMayBeLarge) c.largeSince = monotonicMs();
        owe(c, message);
    }
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
        } else if (c.predictable && !c.mayClose && !(c.client->ended() && mayHaveExpired(c))) {
            check(!c.client->ended(), "a channel that keeps to the protocol stays open");
            check(c.client->queued() == 0 || heldUp(c),
                  "a channel that keeps to the protocol takes all its client sends");
            check(c.owed.empty() || heldUp(c),
                  "every call owed a reply is answered once its client reads");
        }
    }
    expireUnfinished();
    check(served_->unpublishedCalls() == 0, "an object never published is never called");
    // Every client leaves.
    for (FuzzChannel& c : channels_) c.client.reset();
    for (int i = 0; i < 4; ++i) turn();
    check(closesAsideDone(10000), "the descriptors closed aside are closed");
    check(descriptors_.allClosed(), "no descriptor a client attached stays open in the host");
}

bool HostScene::mayHaveExpired(const FuzzChannel& c) const {
    return c.largeSince != 0 && monotonicMs() - c.largeSince >= callTimeoutMs();
}

void HostScene::expireUnfinished() {
    auto unfinished = [](const FuzzChannel& c) {
        return c.client && !c.closedByClient && c.client->open() && !c.client->ended() &&
               c.client->sentLargeInPart();
    };
    // A large message is begun once its channel's budgets have room for it, which each
    // channel ended here gives back, and its deadline runs from then: a channel still waiting
    // to begin is in progress legitimately until a call timeout has passed since the last
    // such end. Its client sends no more, and reads, so that it sees the end.
    int64_t since = monotonicMs();
    for (;;) {
        size_t open = 0;
        for (FuzzChannel& c : channels_) {
            if (!unfinished(c)) continue;
            takeReplies(c);
            if (c.client->ended()) {
                since = monotonicMs();
            } else {
                ++open;
            }
        }
        if (open == 0 || monotonicMs() - since > callTimeoutMs() + kLateMs) break;
        check(loop_.runOnce(10) == OK, "the serving loop turns");
        check(closesAsideDone(10000), "the descriptors closed aside are closed");
    }
    for (FuzzChannel& c : channels_) {
        check(!unfinished(c),
              "a large message left unfinished past the call timeout ends its channel");
    }
}

}  // namespace zorlek::fuzz
