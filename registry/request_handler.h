// SPDX-License-Identifier: Apache-2.0
// The registry's protocol apart from its sockets: what each request from a peer does to
// the name table, and what is answered. The daemon's server feeds it the messages its
// connections receive; tests and the fuzzer feed it messages made in memory.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/base/parcel.h"
#include "platform/base/unique_fd.h"
#include "platform/transport/message_reader.h"
#include "platform/transport/wire.h"
#include "registry/limits.h"
#include "registry/log_limit.h"
#include "registry/name_table.h"
#include "registry/watch_table.h"

namespace zorlek::registry {

class Policy;

// The registry's settings. The limits default to registry/limits.h, which says what each
// bounds and why; they are fields so that tests and the fuzzer can reach them with little.
struct ServerOptions {
    // Lets every user register the names that no policy line matches, besides root, the
    // registry's own user and those the policy grants a name.
    bool allowAnyUser = false;
    // Who may hold which name (not owned; it must outlive the handler, and may be replaced
    // between two messages). Null: no policy lines.
    const Policy* policy = nullptr;
    // The user the registry runs as.
    uid_t registryUid = 0;
    int handshakeTimeoutMs = kHandshakeTimeoutMs;
    size_t maxConnectionsPerUser = kMaxConnectionsPerUser;
    size_t maxNamesPerUser = kMaxNamesPerUser;
    size_t maxNamesOfOthers = kMaxNamesOfOthers;
    size_t maxUnreadLookups = kMaxUnreadLookups;
    size_t maxPendingChannelsPerUser = kMaxPendingChannelsPerUser;
    size_t maxPendingChannels = kMaxPendingChannels;
    size_t maxUnreadFdsPerUser = kMaxUnreadFdsPerUser;
    size_t maxWaitingNamesPerUser = kMaxWaitingNamesPerUser;
    size_t userBudgetBytes = kUserBudgetBytes;
    size_t trustedBudgetBytes = kTrustedBudgetBytes;
    size_t othersBudgetBytes = kOthersBudgetBytes;
    // The features the registry announces and serves (wire.h); a request of one it does
    // not serve is answered as a message of a type it does not know. Fewer only in tests,
    // to stand in for a registry built before them.
    uint32_t features = kRegistryFeatures;
};

// True for the users the registry trusts as it trusts itself: root and its own user.
inline bool trustedUser(uid_t uid, const ServerOptions& options) {
    return uid == 0 || uid == options.registryUid;
}

// One client connection of the registry, as the rules see it.
struct Peer {
    ConnectionId id = 0;
    // Its credentials as the kernel gave them when it connected.
    ucred credentials = {0, static_cast<uid_t>(-1), static_cast<gid_t>(-1)};
    // The protocol version it greeted with; 0 before the handshake.
    int32_t version = 0;
    // Its supplementary groups as the kernel gave them when it connected (SO_PEERGROUPS).
    std::vector<gid_t> groups;
};

// What the rules need of the transport between them and the peers. While the rules handle
// a message, no connection closes under them: a peer that is dropped, or whose socket
// fails, is gone for the rules at once (its names freed through RequestHandler::peerGone),
// and its connection closes once the handling is done. Peers are named by their id.
class PeerTransport {
  public:
    // Sends to the peer `to`; a descriptor is charged to `chargeTo` until `to` has taken
    // it. 0; -EPIPE when that peer is gone (also when this send ended it); -ENOBUFS,
    // -ENOMEM or -ETOOMANYREFS when the message could not go for want of room that is not
    // the peer's doing (nothing sent, the peer kept). A lookup answer that carries a
    // channel is followed: RequestHandler::channelSent says what became of its descriptor,
    // before this returns when it went at once.
    virtual status_t send(ConnectionId to, const MessageHeader& header, const Parcel& payload,
                          unique_fd fd = unique_fd(), uid_t chargeTo = 0) = 0;
    // Descriptors sent to the peer `at` that it has not taken yet: all, and those charged
    // to `user`.
    virtual size_t unreadFds(ConnectionId at) = 0;
    virtual size_t unreadFds(ConnectionId at, uid_t user) = 0;
    // True when `user` may have `count` more descriptors out untaken: within its own
    // share (other users) and within what all other users may hold together.
    virtual bool mayHoldFds(uid_t user, size_t count) = 0;
    // The peer with `id`; null when it is gone (or dropped).
    virtual const Peer* peer(ConnectionId id) = 0;
    // True when the peer has closed its end, although its end-of-stream waits unread, or
    // is gone.
    virtual bool hungUp(ConnectionId id) = 0;
    // Drops every peer that has closed its end although its end-of-stream waits unread,
    // at the cost of one look at them all.
    virtual void dropHungUp() = 0;
    // Drops the peer: gone for the rules before this returns (its names freed through
    // RequestHandler::peerGone); its connection closes after the message being handled.
    virtual void drop(ConnectionId id) = 0;
    // Ends the peer as drop() does, but first sends what waits for it as far as its
    // socket then takes it.
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

    // `peer` is gone: frees every name it held, with one log line each, and forgets the
    // channels it was given or was the host of. Called once per peer.
    void peerGone(const Peer& peer);

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
    // `peer` is gone: its wait with it.
    void forgetWait(const Peer& peer);
    // The wait of `client` leaves the table: its names no longer count for its user.
    void settleWait(ConnectionId client);
    // Who holds `name` (MSG_STATUS).
    void status(Peer& from, const String16& name);

    const ServerOptions& options_;
    PeerTransport& transport_;
    NameTable names_;
    std::unordered_map<uid_t, size_t> namesByUser_;
    size_t namesOfOthers_ = 0;
    // The hosts each connection has a channel to, each with whether the channel's end has
    // gone to it yet; and the other way round.
    std::unordered_map<ConnectionId, std::unordered_map<ConnectionId, bool>> hostsOf_;
    std::unordered_map<ConnectionId, std::unordered_set<ConnectionId>> clientsOf_;
    // The clients waiting for names, the user of each, and the names the waits of each
    // user keep.
    WatchTable watches_;
    std::unordered_map<ConnectionId, std::pair<uid_t, size_t>> waitUsers_;
    std::unordered_map<uid_t, size_t> waitingNames_;
    LogLimit log_;
};

}  // namespace zorlek::registry
