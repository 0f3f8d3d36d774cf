// The registry's protocol apart from its sockets: what each request from a peer does to
// the name table, and what is answered. The daemon's server feeds it the messages its
// connections receive; tests and the fuzzer feed it messages made in memory.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <unordered_map>
#include <vector>

#include "platform/ipc/parcel.h"
#include "platform/ipc/unique_fd.h"
#include "platform/transport/message_reader.h"
#include "platform/transport/wire.h"
#include "registry/name_table.h"

namespace zorlek::registry {

class Policy;

// The registry's limits. Every one costs only the party that reaches it: its own
// request is refused, or its own connections wait.
struct ServerOptions {
    // Lets every user register the names that no policy line matches, besides root, the
    // registry's own user and those the policy grants a name.
    bool allowAnyUser = false;
    // Who may hold which name (not owned; it must outlive the handler, and may be replaced
    // between two messages). Null: no policy lines.
    const Policy* policy = nullptr;
    // The user the registry runs as.
    uid_t registryUid = 0;
    // A connection that has not completed the opening handshake this long after it was
    // accepted is closed, so that idle or half-written connections cannot pile up.
    int handshakeTimeoutMs = 10000;
    // Connections one user other than root and the registry's own may hold at once; more
    // are refused (-EUSERS) at the handshake.
    size_t maxConnectionsPerUser = 256;
    // Names one connection of such a user may hold (-EDQUOT beyond).
    size_t maxNamesPerConnection = 1024;
    // Channel ends a connection has not read yet (beyond what its socket holds); a lookup
    // past it is refused with -EAGAIN.
    size_t maxUnreadLookups = 64;
    // Channels waiting to reach one hosting process, from one user and from all users;
    // a lookup past either is refused with -EAGAIN, and the host keeps its names.
    size_t maxPendingChannelsPerUser = 64;
    size_t maxPendingChannels = 1024;
    // Bytes one user's connections may hold (answers not read, requests not handled)
    // before they are no longer read; root and the registry's own user, whose processes
    // are many and all share one budget, get the larger one.
    size_t userBudgetBytes = 4 * 1024 * 1024;
    size_t trustedBudgetBytes = 64 * 1024 * 1024;
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

// What the rules need of the transport between them and the peers.
class PeerTransport {
  public:
    // Sends to the peer `to`, counting the message under `tag` while it waits unsent.
    // False when that peer is gone, also when this send ended it.
    virtual bool send(ConnectionId to, const MessageHeader& header, const Parcel& payload,
                      unique_fd fd, uint32_t tag = 0) = 0;
    // Messages carrying a descriptor that wait unsent to the peer: all of them
    // (`tag` 0), or those sent under `tag`.
    virtual size_t pendingFds(ConnectionId id, uint32_t tag) = 0;
    // The peer with `id`; null when it is gone.
    virtual const Peer* peer(ConnectionId id) = 0;
    // True when the peer has closed its end, although its end-of-stream waits unread.
    virtual bool hungUp(ConnectionId id) = 0;
    // Ends the peer now; its names are freed through RequestHandler::peerGone before this
    // returns.
    virtual void drop(ConnectionId id) = 0;
    // Makes the two connected ends of a new private channel.
    virtual status_t makeChannel(unique_fd* hostEnd, unique_fd* clientEnd) = 0;

  protected:
    virtual ~PeerTransport() = default;
};

class RequestHandler {
  public:
    RequestHandler(const ServerOptions& options, PeerTransport& transport);

    // Handles one message from `from`. False when it is not the protocol; the caller
    // then drops `from`. Writes one log line to standard error per registration.
    bool handle(Peer& from, Message& message);

    // `peer` is gone: frees every name it held, with one log line each.
    void peerGone(const Peer& peer);

    // True when a connection of `uid` holds a name now.
    bool hostsNames(uid_t uid) const;

  private:
    // Refused for a lack of rights, `answer` may carry the reason.
    status_t registerName(Peer& from, const String16& name, Parcel* answer);
    void lookup(Peer& from, const String16& name);
    void list(Peer& from, const String16& after);

    const ServerOptions& options_;
    PeerTransport& transport_;
    NameTable names_;
    std::unordered_map<uid_t, size_t> namesByUser_;
};

}  // namespace zorlek::registry
