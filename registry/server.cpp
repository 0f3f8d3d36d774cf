// SPDX-License-Identifier: Apache-2.0
#include "registry/server.h"

#include <sys/resource.h>
#include <sys/socket.h>

#include <utility>

#include "platform/base/deadline.h"
#include "platform/transport/fd_closer.h"
#include "registry/policy.h"

namespace zorlek::registry {
namespace {

constexpr ConnectionLimits kClientLimits = {
    // One request at most, and freed while the connection idles: an idle connection
    // costs its bookkeeping only.
    .readBuffer = kConnectionReadBuffer,
    .maxPayload = kMaxRegistryRequest,
    // A peer whose unread answers pass a listing page is not read from until they drain.
    .pauseBytes = kConnectionPauseBytes,
    .releaseIdleBuffer = true,
};

size_t descriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return kFallbackDescriptorLimit;
    }
    return static_cast<size_t>(limit.rlim_cur);
}

// Tells a connection the registry will not take why, in place of the handshake's answer,
// and closes it. One try: a peer that cannot take 16 bytes at once is not waited for.
void refuse(unique_fd sock, status_t why) {
    uint8_t bytes[kHeaderSize];
    encodeHeader({MSG_HELLO, kProtocolMagic, why, 0}, bytes);
    if (::send(sock.get(), bytes, sizeof bytes, MSG_DONTWAIT | MSG_NOSIGNAL) < 0) {
    }
    closeSocket(std::move(sock));
}

}  // namespace

RegistryServer::RegistryServer(ServerOptions options)
    : options_(options),
      handler_(options_, *this),
      acceptTimer_(loop_, [this] { resumeAccepting(); }),
      users_({options_.registryUid, options_.userBudgetBytes, options_.trustedBudgetBytes,
              options_.othersBudgetBytes}),
      ledger_(options_.registryUid),
      descriptorLimit_(descriptorLimit()),
      descriptorReserve_(descriptorLimit_ / 16 > kMinDescriptorReserve ? descriptorLimit_ / 16
                                                                       : kMinDescriptorReserve),
      trimmer_(loop_, kTrimAfterClosed, kTrimAfterBytes),
      logReport_(loop_, [this] { afterHandling(); }),
      handshakeTimer_(loop_, [this] { expireHandshakes(); }) {}

// Connections end without telling the handler: the names go with the whole table.
RegistryServer::~RegistryServer() = default;

status_t RegistryServer::run(unique_fd listener) {
    status_t status = listen(std::move(listener));
    if (status != OK) return status;
    status = loop_.run();
    loop_.unwatch(listener_.get());
    return status;
}

status_t RegistryServer::listen(unique_fd listener) {
    if (loop_.initStatus() != OK) return loop_.initStatus();
    listener_ = std::move(listener);
    // Connections made from now on refuse descriptors from birth (on a kernel that can).
    refuseDescriptors(listener_.get());
    return loop_.watch(listener_.get(), EPOLLIN, this);
}

void RegistryServer::onEvents(uint32_t /*events*/) {
    for (int i = 0; i < kAcceptBatch; ++i) {
        unique_fd sock(::accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (sock) {
            accept(std::move(sock));
            continue;
        }
        if (errno == EINTR || errno == ECONNABORTED) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) pauseAccepting();
        return;
    }
}

void RegistryServer::pauseAccepting() {
    loop_.unwatch(listener_.get());
    acceptTimer_.armIn(kAcceptPauseMs);
}

void RegistryServer::resumeAccepting() {
    if (loop_.watch(listener_.get(), EPOLLIN, this) != OK) acceptTimer_.armIn(kAcceptPauseMs);
}

status_t RegistryServer::refusal(const ucred& credentials) const {
    if (users_.trusted(credentials.uid)) return OK;
    if (users_.connectionsOf(credentials.uid) >= options_.maxConnectionsPerUser) return -EUSERS;
    // The last descriptors are for root, the registry's user and those that host names,
    // so that services keep registering and serving while others flood: every connection
    // counts, every descriptor handed out and not yet taken, and every one a peer sent that
    // waits to be closed aside.
    bool nearLimit = clients_.size() + ledger_.total() + closesPending() + kOwnDescriptors +
                         descriptorReserve_ >=
                     descriptorLimit_;
    if (nearLimit && !handler_.hostsNames(credentials.uid)) return -EMFILE;
    return OK;
}

void RegistryServer::accept(unique_fd sock) {
    Client client;
    client.peer.id = nextId_++;
    ucred credentials{};
    socklen_t length = sizeof(credentials);
    if (::getsockopt(sock.get(), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) return;
    client.peer.credentials = credentials;
    client.peer.groups = peerGroups(sock.get());
    status_t refused = refusal(credentials);
    if (refused != OK) return refuse(std::move(sock), refused);
    // It refuses descriptors when the listener did as it was made (listen()). One made
    // before is not made to: what it may hold already would then be closed on this
    // thread (closeSocket), so it is served as on an older kernel.
    std::shared_ptr<Budget> budget = users_.join(credentials.uid);
    if (!budget) return refuse(std::move(sock), -ENOMEM);
    client.connection =
        std::make_unique<Connection>(loop_, std::move(sock), owner(), kClientLimits);
    client.connection->setId(client.peer.id);
    client.connection->setBudget(std::move(budget));
    if (client.connection->start() != OK) return users_.leave(credentials.uid);
    int64_t due = monotonicMs() + options_.handshakeTimeoutMs;
    if (handshakesDue_.empty()) handshakeTimer_.armAt(due);
    handshakesDue_.emplace_back(due, client.peer.id);
    Connection& connection = *client.connection;
    clients_.emplace(client.peer.id, std::move(client));
    // A client greets as soon as it has connected, so its greeting is mostly here already:
    // answered now, it is not left for the next turn of the loop.
    connection.onEvents(EPOLLIN);
}

void RegistryServer::expireHandshakes() {
    int64_t now = monotonicMs();
    while (!handshakesDue_.empty()) {
        auto [due, id] = handshakesDue_.front();
        auto found = clients_.find(id);
        if (found != clients_.end() && found->second.peer.version == 0) {
            if (due > now) return handshakeTimer_.armAt(due);
            found->second.connection->close(-ETIMEDOUT);
        }
        handshakesDue_.pop_front();
    }
}

bool RegistryServer::onMessage(Connection& connection, Message& message) {
    auto found = clients_.find(connection.id());
    if (found == clients_.end() || found->second.gone) return true;
    handling_ = true;
    bool understood = handler_.handle(found->second.peer, message);
    handling_ = false;
    afterHandling();
    return understood;
}

void RegistryServer::policyChanged() {
    if (handling_) return;
    handling_ = true;
    handler_.policyChanged();
    handling_ = false;
    afterHandling();
}

bool RegistryServer::serves(const Connection& connection, uint32_t type) const {
    auto found = clients_.find(connection.id());
    if (found == clients_.end() || found->second.peer.version == 0) return true;
    return ConnectionOwner::serves(connection, type) && handler_.serves(type);
}

void RegistryServer::onPartial(Connection& connection) {
    auto found = clients_.find(connection.id());
    if (found == clients_.end() || found->second.gone || found->second.peer.version != 0) return;
    size_t size = 0;
    const uint8_t* bytes = connection.buffered(&size);
    // Its handshake is shorter than this protocol's header: it would wait for ever.
    int32_t version = size >= kOldHeaderSize ? oldHelloVersion(bytes) : 0;
    if (version == 0) return;
    handling_ = true;
    handler_.refuseVersion(found->second.peer, version);
    handling_ = false;
    afterHandling();
}

void RegistryServer::onDescriptorSent(Connection& connection, uint64_t tag, status_t status) {
    // The tag of a lookup answer's channel is its host.
    channelsSent_.push_back({connection.id(), tag, status});
    if (!handling_) afterHandling();
}

void RegistryServer::onClosed(Connection& connection, status_t /*why*/) {
    if (!clients_.contains(connection.id())) return;
    // The rules may be running, and hold the peer's record: they learn of it when done.
    ending_.emplace_back(connection.id(), false);
    if (!handling_) afterHandling();
}

void RegistryServer::retire(ConnectionId id) {
    auto found = clients_.find(id);
    if (found == clients_.end()) return;
    Connection& connection = *found->second.connection;
    // What was in flight to it goes with its socket.
    ledger_.settle(id);
    users_.leave(found->second.peer.credentials.uid);
    trimmer_.closed(connection.heldBytes());
    loop_.retire(std::move(found->second.connection));
    clients_.erase(found);
}

void RegistryServer::afterHandling() {
    handling_ = true;
    settle();
    handling_ = false;
    int64_t due = handler_.logReportDue();
    if (due >= 0 && due <= monotonicMs()) {
        handler_.reportLeftOut(monotonicMs());
        due = handler_.logReportDue();
    }
    if (due >= 0 && !logReport_.armed()) logReport_.armAt(due);
}

void RegistryServer::settle() {
    while (!ending_.empty() || !channelsSent_.empty()) {
        for (const ChannelSent& sent : std::exchange(channelsSent_, {})) {
            handler_.channelSent(sent.client, sent.host, sent.status);
        }
        std::vector<std::pair<ConnectionId, bool>> ending = std::exchange(ending_, {});
        // The rules learn of every peer that went before any connection closes.
        for (auto [id, flush] : ending) {
            auto found = clients_.find(id);
            if (found == clients_.end() || found->second.gone) continue;
            found->second.gone = true;
            handler_.peerGone(found->second.peer);
        }
        // Closing one here comes back through onClosed, and is retired on the next round.
        for (auto [id, flush] : ending) {
            auto found = clients_.find(id);
            if (found == clients_.end()) continue;
            Connection& connection = *found->second.connection;
            if (connection.closed()) {
                retire(id);
            } else if (flush) {
                connection.finish(-ECONNREFUSED);
            } else {
                connection.close(-EPIPE);
            }
        }
    }
}

status_t RegistryServer::send(ConnectionId to, const MessageHeader& header, const Parcel& payload,
                              unique_fd fd, uid_t chargeTo) {
    auto found = clients_.find(to);
    if (found == clients_.end() || found->second.gone || found->second.connection->closed()) {
        return -EPIPE;
    }
    bool withFd = fd.valid();
    // A lookup answer's channel is followed until it has gone (onDescriptorSent).
    uint64_t tag = withFd && header.type == MSG_LOOKUP_REPLY ? hostOf(header) : 0;
    status_t status = found->second.connection->send(header, payload, std::move(fd), tag);
    if (status == OK && withFd) ledger_.charge(to, chargeTo);
    return status;
}

void RegistryServer::settleIfTaken(ConnectionId at) {
    auto found = clients_.find(at);
    if (found == clients_.end()) return ledger_.settle(at);
    // Nothing waits in the queue and the peer has read every byte sent: it has taken
    // every descriptor too.
    const Connection& connection = *found->second.connection;
    if (connection.queuedFds() == 0 && connection.unreadByPeer() == 0) ledger_.settle(at);
}

size_t RegistryServer::unreadFds(ConnectionId at) {
    if (ledger_.at(at) > 0) settleIfTaken(at);
    return ledger_.at(at);
}

size_t RegistryServer::unreadFds(ConnectionId at, uid_t user) {
    if (ledger_.at(at, user) > 0) settleIfTaken(at);
    return ledger_.at(at, user);
}

size_t RegistryServer::heldByOthers() const {
    return users_.othersConnections() + ledger_.others();
}

bool RegistryServer::mayHoldFds(uid_t user, size_t count) {
    if (users_.trusted(user)) return true;
    size_t kept = kOwnDescriptors + descriptorReserve_;
    size_t share = descriptorLimit_ > kept ? descriptorLimit_ - kept : 0;
    auto fits = [&] {
        return ledger_.of(user) + count <= options_.maxUnreadFdsPerUser &&
               heldByOthers() + count <= share;
    };
    if (fits()) return true;
    // Charges stay until the next send to their connection looks again: look at them all
    // now, so that what was taken meanwhile is not held against anyone.
    for (ConnectionId at : ledger_.charged()) settleIfTaken(at);
    return fits();
}

const Peer* RegistryServer::peer(ConnectionId id) {
    auto found = clients_.find(id);
    return found != clients_.end() && !found->second.gone ? &found->second.peer : nullptr;
}

bool RegistryServer::hungUp(ConnectionId id) {
    auto found = clients_.find(id);
    return found == clients_.end() || found->second.gone || found->second.connection->closed() ||
           found->second.connection->peerHungUp();
}

std::vector<ConnectionId> RegistryServer::hungUpPeers() {
    std::vector<ConnectionId> out;
    for (EventSource* source : loop_.hungUpNow()) {
        // The listener and the loop's own descriptors are not connections.
        auto* connection = dynamic_cast<Connection*>(source);
        if (connection != nullptr && peer(connection->id()) != nullptr) {
            out.push_back(connection->id());
        }
    }
    return out;
}

void RegistryServer::drop(ConnectionId id) {
    end(id, false);
}

void RegistryServer::finish(ConnectionId id) {
    end(id, true);
}

void RegistryServer::end(ConnectionId id, bool flush) {
    auto found = clients_.find(id);
    if (found == clients_.end()) return;
    found->second.gone = true;
    ending_.emplace_back(id, flush);
    if (!handling_) afterHandling();
}

status_t RegistryServer::makeChannel(unique_fd* hostEnd, unique_fd* clientEnd) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return -errno;
    hostEnd->reset(pair[0]);
    clientEnd->reset(pair[1]);
    // The host serves each call as the sender the kernel names with it: asked for before
    // either end leaves, so that even the first bytes the client sends carry their sender.
    int on = 1;
    if (::setsockopt(pair[0], SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
        status_t status = -errno;
        hostEnd->reset();
        clientEnd->reset();
        return status;
    }
    // Neither end can be handed a descriptor, before either leaves: a channel carries
    // calls and replies only, so nothing a peer chose can wait in it when its other end
    // closes it (on a kernel that cannot refuse, they close it aside).
    refuseDescriptors(pair[0]);
    refuseDescriptors(pair[1]);
    return OK;
}

}  // namespace zorlek::registry
