// SPDX-License-Identifier: Apache-2.0
// The registry's protocol apart from its sockets: what each request from a peer does to
// the name table, and what is answered. The daemon's server feeds it the messages its
// connections receive; tests and the fuzzer feed it messages made in memory.
#pragma once

#include <sys/types.h>

#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/base/parcel.h"
#include "platform/base/unique_fd.h"
#include "platform/transport/message_reader.h"
#include "platform/transport/user_counts.h"
#include "platform/transport/wire.h"
#include "registry/log_limit.h"
#include "registry/name_table.h"
#include "registry/peer.h"
#include "registry/server_options.h"
#include "registry/tap_table.h"
#include "registry/watch_table.h"

namespace zorlek::registry {

// What the rules need of the transport between them and the peers. It never calls the
// rules back while they handle a message: the rules forget a peer they end themselves
// before they ask for its end (drop, finish), and learn of every other that went, and of
// every channel that went out, through RequestHandler::peerGone and channelSent once the
// handling is done. No connection closes under the rules meanwhile. Peers are named by
// their id.
class PeerTransport {
  public:
    // Sends to the peer `to`; a descriptor is charged to `chargeTo` until `to` has taken
    // it. 0; -EPIPE when that peer is gone (also when this send ended it); -ENOBUFS,
    // -ENOMEM or -ETOOMANYREFS when the message could not go for want of room that is not
    // the peer's doing (nothing sent, the peer kept). A lookup answer that carries a
    // channel is followed: RequestHandler::channelSent says later what became of it.
    virtual status_t send(ConnectionId to, const MessageHeader& header, const Parcel& payload,
                          unique_fd fd = unique_fd(), uid_t chargeTo = 0) = 0;
    // Descriptors sent to the peer `at` that it has not taken yet: all, and those charged
    // to `user`.
    virtual size_t unreadFds(ConnectionId at) = 0;
    virtual size_t unreadFds(ConnectionId at, uid_t user) = 0;
    // True when `user` may have `count` more descriptors out untaken: within its own
    // share (other users) and within what all other users may hold together.
    virtual bool mayHoldFds(uid_t user, size_t count) = 0;
    // The peer with `id`, while the rules have not forgotten it; null after.
    virtual const Peer* peer(ConnectionId id) = 0;
    // True when the peer has closed its end, although its end-of-stream waits unread, or
    // its connection has ended.
    virtual bool hungUp(ConnectionId id) = 0;
    // The peers not forgotten yet that have closed their end although their end-of-stream
    // waits unread, at the cost of one look at them all.
    virtual std::vector<ConnectionId> hungUpPeers() = 0;
    // Ends a peer the rules have forgotten: its connection closes after the message being
    // handled. finish() first sends what waits for it, as far as its socket takes it.
    virtual void drop(ConnectionId id) = 0;
    virtual void finish(ConnectionId id) = 0;
    // Makes the two connected ends of a new channel; both refuse descriptors where the
    // kernel can, so that neither end can be handed anything but calls and replies.
    virtual status_t makeChannel(unique_fd* hostEnd, unique_fd* clientEnd) = 0;

  protected:
    virtual ~PeerTransport() = default;
};

class RequestHandler {
  public:
    RequestHandler(const ServerOptions& options, PeerTransport& transport);

    // Handles one message from `from`, which stays valid meanwhile. False when it is not
    // the protocol; the caller then drops `from`. Writes one log line to standard error
    // per registration and per refusal (as many as the log limit lets each user have).
    bool handle(Peer& from, Message& message);

    // `peer` is gone, and the rules did not end it: frees every name it held, with one log
    // line each, and forgets the channels it was given or was the host of and its wait.
    // Called once per peer, never while a message is handled.
    void peerGone(const Peer& peer);

    // The policy has been read again: every holder of a name the policy no longer grants
    // it loses its connection, and so all its names, with a log line saying why; it asks
    // for its names again as after a restart of the registry, and that one is refused
    // with the reason. Never called while a message is handled.
    void policyChanged();

    // `from` began its handshake as a peer of protocol `version` does, which this
    // registry does not speak: tells it so, logs it, and ends it.
    void refuseVersion(Peer& from, int32_t version);

    // The lookup answer that carried `client`'s end of a channel to `host` has gone, with
    // its descriptor (`status` 0) or without it (the kernel's refusal). Only then does
    // the client hold the channel: until then its lookups of that host are refused with
    // -EAGAIN, and a failure forgets the channel, so that its next lookup makes a new one.
    void channelSent(ConnectionId client, ConnectionId host, status_t status);

    // False for the requests of the features it does not serve, which the connection
    // answers as messages of a type it does not know (Connection). True for every other
    // type of this version: the ones that are no request to the registry (its own answers,
    // a channel's) are refused as malformed by handle().
    bool serves(uint32_t type) const;

    // True when a connection of `uid` holds a name now.
    bool hostsNames(uid_t uid) const;

    // When a second the log limit counts next ends, so that the lines it left out are
    // counted in the log (-1: it counts none); and doing that at `nowMs`.
    int64_t logReportDue() const { return log_.due(); }
    void reportLeftOut(int64_t nowMs) { log_.report(nowMs); }

  private:
    // True when a line about `uid` may be written now; root's and the registry's own
    // user's always may.
    bool mayLog(uid_t uid);
    // Forgets the peer `id` (as peerGone), then has the transport end it, after sending
    // what waits for it with `flush`.
    void end(ConnectionId id, bool flush);
    // Forgets the peers that have hung up and have the transport close them; true when
    // `asker` was among them.
    bool endHungUp(ConnectionId asker);
    bool greet(Peer& from, const MessageHeader& hello);
    // Refused for a lack of rights, `answer` may carry the reason.
    status_t registerName(Peer& from, const String16& name, uint32_t handle, Parcel* answer);
    // Why `from` may not add a name now (-EDQUOT), or 0.
    status_t mayAddName(const Peer& from) const;
    void lookup(Peer& from, const String16& name);
    // Gives `from` a channel to the host `holder`: 0, or why not (the host keeps its names).
    status_t introduce(Peer& from, ConnectionId host, unique_fd* clientEnd);
    void release(ConnectionId client, ConnectionId host);
    // Whether `client` has a channel to `host`: null when not, else whether its end has
    // gone to it yet.
    bool* channel(ConnectionId client, ConnectionId host);
    void list(Peer& from, const String16& after);
    // A wait for names to come or go (MSG_WATCH); false when its payload is malformed.
    bool watch(Peer& from, const MessageHeader& header, Parcel& payload);
    // Tells the clients whose waits now hold.
    void answerWaits(const std::vector<WatchTable::Held>& held);
    // Why `from` may not keep a wait of `count` names more (-EDQUOT), or 0.
    status_t mayWait(const Peer& from, size_t count) const;
    // Who holds `name` (MSG_STATUS).
    void status(Peer& from, const String16& name);
    // A tap on the host of `name` (MSG_MONITOR, the rest of whose request is `payload`);
    // false when the request is malformed.
    bool monitor(Peer& from, const String16& name, Parcel& payload);
    // Makes a tap for `from` on the host of `name` and sends the host its end: 0 with
    // `answer` naming the host and handle and `monitorEnd` set, or why not.
    status_t tap(Peer& from, const String16& name, int32_t snaplen, MessageHeader* answer,
                 unique_fd* monitorEnd);
    // Why `from` may not have one more tap on `host` now (-EMFILE, -EDQUOT), or 0.
    status_t mayTap(const Peer& from, const Peer& host);
    // The live holder of `name`, dropping one that has hung up; null when none.
    const Holder* liveHolder(const String16& name);

    const ServerOptions& options_;
    PeerTransport& transport_;
    NameTable names_;
    // The names each user holds.
    UserCounts namesByUser_;
    // The hosts each connection has a channel to, each with whether the channel's end has
    // gone to it yet; and the other way round.
    std::unordered_map<ConnectionId, std::unordered_map<ConnectionId, bool>> hostsOf_;
    std::unordered_map<ConnectionId, std::unordered_set<ConnectionId>> clientsOf_;
    // The clients waiting for names.
    WatchTable watches_;
    // The taps handed out.
    TapTable taps_;
    LogLimit log_;
};

}  // namespace zorlek::registry
