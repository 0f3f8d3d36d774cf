#include "registry/server.h"

#include <fcntl.h>
#include <sys/socket.h>

#include "platform/transport/deadline.h"

namespace zorlek::registry {
namespace {

constexpr ConnectionLimits kClientLimits = {
    // A registry request is at most one name; the buffer takes a few at once.
    .readBuffer = 8192,
    .maxPayload = kMaxRegistryRequest,
    // A peer whose unread answers pass this is not read from until they drain.
    .pauseBytes = 256 * 1024,
};
// A peer whose queue passes these (answers and channels pushed to it that it does not
// read) is dropped.
constexpr size_t kMaxQueuedBytes = 4 * 1024 * 1024;
constexpr size_t kMaxQueuedMessages = 1024;
// Connections accepted per wake-up, so that a flood cannot starve the others.
constexpr int kAcceptBatch = 64;

}  // namespace

RegistryServer::RegistryServer(ServerOptions options)
    : options_(options),
      handler_(options_, *this),
      spare_(::open("/dev/null", O_RDONLY | O_CLOEXEC)),
      handshakeTimer_(loop_, [this] { expireHandshakes(); }) {}

// Connections end without telling the handler: the names go with the whole table.
RegistryServer::~RegistryServer() = default;

status_t RegistryServer::run(unique_fd listener) {
    if (loop_.initStatus() != OK) return loop_.initStatus();
    listener_ = std::move(listener);
    status_t status = loop_.watch(listener_.get(), EPOLLIN, this);
    if (status != OK) return status;
    status = loop_.run();
    loop_.unwatch(listener_.get());
    return status;
}

void RegistryServer::onEvents(uint32_t /*events*/) {
    for (int i = 0; i < kAcceptBatch; ++i) {
        unique_fd sock(::accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (sock) {
            accept(std::move(sock));
            continue;
        }
        if (errno == EINTR || errno == ECONNABORTED) continue;
        if ((errno == EMFILE || errno == ENFILE) && spare_) {
            // Out of descriptors: take the waiting connection with the spare one and close
            // it, so that it does not wake the loop again and again.
            spare_.reset();
            unique_fd refused(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            refused.reset();
            spare_.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
            continue;
        }
        return;
    }
}

void RegistryServer::accept(unique_fd sock) {
    Client client;
    client.peer.id = nextId_++;
    ucred credentials{};
    socklen_t length = sizeof(credentials);
    if (::getsockopt(sock.get(), SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0) {
        client.peer.credentials = credentials;
    }
    client.connection =
        std::make_unique<Connection>(loop_, std::move(sock), owner(), kClientLimits);
    client.connection->setId(client.peer.id);
    if (client.connection->start() != OK) return;
    int64_t due = monotonicMs() + options_.handshakeTimeoutMs;
    if (handshakesDue_.empty()) handshakeTimer_.armAt(due);
    handshakesDue_.emplace_back(due, client.peer.id);
    clients_.emplace(client.peer.id, std::move(client));
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
    return found != clients_.end() && handler_.handle(found->second.peer, message);
}

void RegistryServer::onClosed(Connection& connection, status_t /*why*/) {
    auto found = clients_.find(connection.id());
    if (found == clients_.end()) return;
    handler_.peerGone(found->second.peer);
    loop_.retire(std::move(found->second.connection));
    clients_.erase(found);
}

bool RegistryServer::send(ConnectionId to, const MessageHeader& header, const Parcel& payload,
                          unique_fd fd) {
    auto found = clients_.find(to);
    if (found == clients_.end()) return false;
    Connection& connection = *found->second.connection;
    if (connection.send(header, payload, std::move(fd)) != OK) return false;
    if (connection.queuedBytes() > kMaxQueuedBytes ||
        connection.queuedMessages() > kMaxQueuedMessages) {
        connection.close(-ENOBUFS);
        return false;
    }
    return true;
}

const Peer* RegistryServer::peer(ConnectionId id) {
    auto found = clients_.find(id);
    return found != clients_.end() ? &found->second.peer : nullptr;
}

bool RegistryServer::hungUp(ConnectionId id) {
    auto found = clients_.find(id);
    return found == clients_.end() || found->second.connection->peerHungUp();
}

void RegistryServer::drop(ConnectionId id) {
    auto found = clients_.find(id);
    if (found != clients_.end()) found->second.connection->close(-EPIPE);
}

status_t RegistryServer::makeChannel(unique_fd* hostEnd, unique_fd* clientEnd) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return -errno;
    hostEnd->reset(pair[0]);
    clientEnd->reset(pair[1]);
    return OK;
}

}  // namespace zorlek::registry
