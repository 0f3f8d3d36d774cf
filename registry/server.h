// The registry's serving loop: one thread, epoll, non-blocking sockets.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/ipc/message_reader.h"
#include "platform/ipc/out_queue.h"
#include "platform/ipc/unique_fd.h"
#include "registry/name_table.h"

namespace zorlek::registry {

struct ServerOptions {
    // Lets every user register names, not only root and the registry's own user.
    bool allowAnyUser = false;
    // The user the registry runs as.
    uid_t registryUid = 0;
    // A connection that has not completed the opening handshake this long after it was
    // accepted is closed, so that idle or half-written connections cannot pile up.
    int handshakeTimeoutMs = 10000;
};

// Serves the registry protocol on a listening socket until stop().
//
// No peer can hold up another: all sockets are non-blocking; answers that a peer does
// not read wait in its own queue; a peer whose queue passes its limit, that sends bytes
// that are not the protocol, or that closes mid-message is dropped, and its names with
// it. Writes one line to standard error per registration and per removal.
class RegistryServer {
  public:
    explicit RegistryServer(ServerOptions options);
    ~RegistryServer();
    RegistryServer(const RegistryServer&) = delete;
    RegistryServer& operator=(const RegistryServer&) = delete;

    // Serves on `listener` (a listening, non-blocking Unix stream socket) until stop().
    // Returns 0 after stop(), or a negative errno when the loop itself failed.
    status_t run(unique_fd listener);

    // Makes run() return. Async-signal-safe.
    void stop();

  private:
    struct Connection;

    void acceptAll();
    void onConnectionEvent(ConnectionId id, uint32_t events);
    // Handles the complete requests already read, while the answers' queue allows.
    // False when the connection was dropped.
    bool processBuffered(Connection& connection);
    bool handleMessage(Connection& connection, Message& message);
    void handleRegister(Connection& connection, Message& message, bool* ok);
    void handleLookup(Connection& connection, Message& message, bool* ok);
    void handleList(Connection& connection, Message& message, bool* ok);
    // Sends on `connection`, dropping it when it fails or its queue passes the limits.
    // False when the connection was dropped.
    bool sendTo(Connection& connection, MessageHeader header, const Parcel& payload,
                unique_fd fd = unique_fd());
    // True when the peer of `connection` has closed (seen before its EOF is read).
    bool peerHungUp(const Connection& connection) const;
    void drop(ConnectionId id);
    // Closes the connections whose handshake is overdue; returns the milliseconds until
    // the next one falls due, or -1 when none waits.
    int expireHandshakes();
    void updateEvents(Connection& connection);

    ServerOptions options_;
    unique_fd epoll_;
    unique_fd stopEvent_;
    unique_fd listener_;
    // Held open so that, out of descriptors, a connection can still be accepted and
    // closed instead of being left to wake the loop for ever.
    unique_fd spare_;
    std::atomic<bool> stopRequested_{false};
    NameTable names_;
    std::unordered_map<ConnectionId, std::unique_ptr<Connection>> connections_;
    // Connections dropped while an event is handled live until it ends.
    std::vector<std::unique_ptr<Connection>> dropped_;
    // Connections still owing the handshake, with when it falls due, in accept order
    // (and so in due order: every connection gets the same time).
    std::deque<std::pair<int64_t, ConnectionId>> handshakesDue_;
    ConnectionId nextId_ = 2;
    Message scratch_;
};

}  // namespace zorlek::registry
