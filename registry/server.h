// SPDX-License-Identifier: Apache-2.0
// The registry's serving loop: the platform's event loop on one thread, a listening
// socket, and one connection per client.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/base/unique_fd.h"
#include "platform/transport/connection.h"
#include "platform/transport/event_loop.h"
#include "platform/transport/memory_trimmer.h"
#include "platform/transport/user_shares.h"
#include "registry/descriptor_ledger.h"
#include "registry/request_handler.h"

namespace zorlek::registry {

// Serves the registry protocol on a listening socket until stop().
//
// No peer can hold up another: all sockets are non-blocking; answers that a peer does
// not read wait in its own queue, and it is not read while much waits; a peer whose queue
// passes its limit, that sends bytes that are not the protocol, or that closes
// mid-message is dropped, and its names with it. No peer can hand it a descriptor: the
// listener, and so every connection, refuses them where the kernel can, and a socket
// that may still hold some is closed off the serving thread. Writes one line to standard
// error per registration and per removal, within each user's log limit.
class RegistryServer final : private ConnectionOwner, private PeerTransport, private EventSource {
  public:
    explicit RegistryServer(ServerOptions options);
    ~RegistryServer() override;
    RegistryServer(const RegistryServer&) = delete;
    RegistryServer& operator=(const RegistryServer&) = delete;

    // Serves on `listener` (a listening, non-blocking Unix stream socket) until stop().
    // Returns 0 after stop(), or a negative errno when the loop itself failed.
    status_t run(unique_fd listener);

    // Starts serving on `listener` as run() does, without running the loop: for a caller
    // that turns loop() itself, on the same thread as the peers it plays (a fuzzer). 0, or
    // the -errno of the loop.
    status_t listen(unique_fd listener);

    // Makes run() return. Async-signal-safe.
    void stop() { loop_.stop(); }

    // The serving loop, for the daemon's own sources of events (its signals).
    EventLoop& loop() { return loop_; }

    // The policy has been read again: the holders of names it no longer grants them lose
    // their connection (RequestHandler::policyChanged).
    void policyChanged();

  private:
    struct Client {
        std::unique_ptr<Connection> connection;
        Peer peer;
        // Forgotten by the rules: they ended it, or were told it went (peerGone). Its
        // connection closes once the rules are done.
        bool gone = false;
    };
    // What became of a lookup answer's channel, for the rules once they are done.
    struct ChannelSent {
        ConnectionId client;
        ConnectionId host;
        status_t status;
    };

    // The listener is readable: accepts a batch of waiting connections.
    void onEvents(uint32_t events) override;
    // Stops watching the listener for a short while after accept failed, then watches it
    // again.
    void pauseAccepting();
    void resumeAccepting();
    void accept(unique_fd sock);
    // Why a connection of `credentials` cannot be taken now (a negative errno), or 0.
    status_t refusal(const ucred& credentials) const;

    // Closes the connections whose handshake is overdue and arms the timer for the next.
    void expireHandshakes();

    bool onMessage(Connection& connection, Message& message) override;
    void onClosed(Connection& connection, status_t why) override;
    // Recognises the start of a handshake from a peer older than this protocol.
    void onPartial(Connection& connection) override;
    // A greeted peer is served the types the handler serves; before its greeting, every
    // message goes to the handler.
    bool serves(const Connection& connection, uint32_t type) const override;
    void onDescriptorSent(Connection& connection, uint64_t tag, status_t status) override;
    // Tells the rules, once they are done, what happened meanwhile: the channels that went
    // and the connections that closed; closes those the rules ended, retires the closed
    // ones; then has the log's count of lines left out written when due.
    void afterHandling();
    // Tells the rules of what happened while they ran, until nothing more has.
    void settle();
    // Forgets a client whose connection has closed, and retires the connection.
    void retire(ConnectionId id);

    status_t send(ConnectionId to, const MessageHeader& header, const Parcel& payload, unique_fd fd,
                  uid_t chargeTo) override;
    size_t unreadFds(ConnectionId at) override;
    size_t unreadFds(ConnectionId at, uid_t user) override;
    bool mayHoldFds(uid_t user, size_t count) override;
    // Releases what `at` was charged once it has taken all it was sent.
    void settleIfTaken(ConnectionId at);
    // The descriptors other users hold here, with their connections.
    size_t heldByOthers() const;
    const Peer* peer(ConnectionId id) override;
    bool hungUp(ConnectionId id) override;
    std::vector<ConnectionId> hungUpPeers() override;
    void drop(ConnectionId id) override;
    void finish(ConnectionId id) override;
    // Has `id`'s connection end (after what waits for it is sent, with `flush`) once the
    // rules are done; they have forgotten it.
    void end(ConnectionId id, bool flush);
    status_t makeChannel(unique_fd* hostEnd, unique_fd* clientEnd) override;

    ServerOptions options_;
    EventLoop loop_;
    RequestHandler handler_;
    unique_fd listener_;
    // Ends a pause in accepting. Out of descriptors, the connections waiting on the
    // listener stay queued there (up to its backlog) until some are free again.
    Timer acceptTimer_;
    std::unordered_map<ConnectionId, Client> clients_;
    // True while the rules run (or are told what happened while they ran): nothing calls
    // them then, and no connection is retired.
    bool handling_ = false;
    // Connections to end once the rules are done, and whether to send what waits for them
    // first; or that closed meanwhile, to tell the rules of and retire.
    std::vector<std::pair<ConnectionId, bool>> ending_;
    std::vector<ChannelSent> channelsSent_;
    // Connections and memory per user.
    UserShares users_;
    DescriptorLedger ledger_;
    // The descriptors the registry may open, and those kept for root, its own user and
    // users that host names while others flood.
    size_t descriptorLimit_;
    size_t descriptorReserve_;
    MemoryTrimmer trimmer_;
    // Writes the count of the lines the log limit left out.
    Timer logReport_;
    // Connections still owing the handshake, with when it falls due, in accept order
    // (and so in due order: every connection gets the same time).
    std::deque<std::pair<int64_t, ConnectionId>> handshakesDue_;
    Timer handshakeTimer_;
    ConnectionId nextId_ = 1;
};

}  // namespace zorlek::registry
