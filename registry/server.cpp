#include "registry/server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/ipc/deadline.h"
#include "platform/text.h"
#include "registry/display_name.h"

namespace zorlek::registry {
namespace {

constexpr uint64_t kStopTag = 0;
constexpr uint64_t kListenerTag = 1;
// A registry request is at most one name; the buffer takes a few at once.
constexpr size_t kReadBuffer = 8192;
// A peer whose unread answers pass this is not read from until they drain.
constexpr size_t kPauseBytes = 256 * 1024;
// A peer whose queue passes these (answers and channels pushed to it that it does not
// read) is dropped.
constexpr size_t kMaxQueuedBytes = 4 * 1024 * 1024;
constexpr size_t kMaxQueuedMessages = 1024;
// Connections accepted per wake-up, so that a flood cannot starve the others.
constexpr int kAcceptBatch = 64;

}  // namespace

struct RegistryServer::Connection {
    ConnectionId id = 0;
    unique_fd sock;
    MessageReader reader{kReadBuffer, kMaxRegistryRequest};
    OutQueue out;
    pid_t pid = 0;
    uid_t uid = static_cast<uid_t>(-1);
    bool greeted = false;
    bool dead = false;
    uint32_t events = 0;
};

RegistryServer::RegistryServer(ServerOptions options)
    : options_(options),
      epoll_(::epoll_create1(EPOLL_CLOEXEC)),
      stopEvent_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      spare_(::open("/dev/null", O_RDONLY | O_CLOEXEC)) {}

RegistryServer::~RegistryServer() = default;

void RegistryServer::stop() {
    int saved = errno;
    stopRequested_.store(true);
    uint64_t one = 1;
    // Only write(2) here: this runs in signal handlers.
    if (::write(stopEvent_.get(), &one, sizeof(one)) < 0) {
    }
    errno = saved;
}

status_t RegistryServer::run(unique_fd listener) {
    if (!epoll_ || !stopEvent_) return -EMFILE;
    listener_ = std::move(listener);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kStopTag;
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, stopEvent_.get(), &event) != 0) return -errno;
    event.data.u64 = kListenerTag;
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, listener_.get(), &event) != 0) return -errno;
    epoll_event events[64];
    while (!stopRequested_.load()) {
        int n = ::epoll_wait(epoll_.get(), events, 64, expireHandshakes());
        if (n < 0) {
            if (errno == EINTR) continue;
            return -errno;
        }
        for (int i = 0; i < n; ++i) {
            uint64_t tag = events[i].data.u64;
            if (tag == kStopTag) continue;
            if (tag == kListenerTag) {
                acceptAll();
            } else {
                onConnectionEvent(tag, events[i].events);
            }
        }
        dropped_.clear();
    }
    return OK;
}

void RegistryServer::acceptAll() {
    for (int i = 0; i < kAcceptBatch; ++i) {
        unique_fd sock(::accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!sock) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if ((errno == EMFILE || errno == ENFILE) && spare_) {
                // Out of descriptors: take the waiting connection with the spare one and
                // close it, so that it does not wake the loop again and again.
                spare_.reset();
                unique_fd refused(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
                refused.reset();
                spare_.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
                continue;
            }
            return;
        }
        auto connection = std::make_unique<Connection>();
        connection->id = nextId_++;
        connection->sock = std::move(sock);
        ucred credentials{};
        socklen_t length = sizeof(credentials);
        if (::getsockopt(connection->sock.get(), SOL_SOCKET, SO_PEERCRED, &credentials, &length) ==
            0) {
            connection->pid = credentials.pid;
            connection->uid = credentials.uid;
        }
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = connection->id;
        if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, connection->sock.get(), &event) != 0) {
            continue;
        }
        connection->events = EPOLLIN;
        handshakesDue_.emplace_back(monotonicMs() + options_.handshakeTimeoutMs, connection->id);
        connections_.emplace(connection->id, std::move(connection));
    }
}

int RegistryServer::expireHandshakes() {
    int64_t now = monotonicMs();
    while (!handshakesDue_.empty()) {
        auto [due, id] = handshakesDue_.front();
        auto found = connections_.find(id);
        if (found != connections_.end() && !found->second->greeted) {
            if (due > now) return static_cast<int>(due - now);
            drop(id);
        }
        handshakesDue_.pop_front();
    }
    dropped_.clear();
    return -1;
}

void RegistryServer::drop(ConnectionId id) {
    auto found = connections_.find(id);
    if (found == connections_.end()) return;
    Connection& connection = *found->second;
    connection.dead = true;
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, connection.sock.get(), nullptr);
    connection.sock.reset();
    for (const String16& name : names_.releaseAll(id)) {
        aerr << "zorlek-registry: removed " << displayName(name) << " (pid "
             << static_cast<int32_t>(connection.pid) << ")" << endl;
    }
    dropped_.push_back(std::move(found->second));
    connections_.erase(found);
}

bool RegistryServer::peerHungUp(const Connection& connection) const {
    if (connection.dead) return true;
    pollfd p{connection.sock.get(), POLLRDHUP, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

void RegistryServer::updateEvents(Connection& connection) {
    if (connection.dead) return;
    uint32_t wanted = 0;
    if (connection.out.queuedBytes() < kPauseBytes) wanted |= EPOLLIN;
    if (!connection.out.empty()) wanted |= EPOLLOUT;
    if (wanted == connection.events) return;
    epoll_event event{};
    event.events = wanted;
    event.data.u64 = connection.id;
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, connection.sock.get(), &event);
    connection.events = wanted;
}

bool RegistryServer::sendTo(Connection& connection, MessageHeader header, const Parcel& payload,
                            unique_fd fd) {
    if (connection.dead) return false;
    status_t status = connection.out.send(connection.sock.get(), header, payload.data(),
                                          payload.dataSize(), std::move(fd));
    if (status != OK || connection.out.queuedBytes() > kMaxQueuedBytes ||
        connection.out.queuedMessages() > kMaxQueuedMessages) {
        drop(connection.id);
        return false;
    }
    updateEvents(connection);
    return true;
}

void RegistryServer::onConnectionEvent(ConnectionId id, uint32_t events) {
    auto found = connections_.find(id);
    if (found == connections_.end()) return;
    Connection& connection = *found->second;
    if ((events & EPOLLOUT) != 0 && connection.out.flush(connection.sock.get()) != OK) {
        return drop(id);
    }
    // Requests read earlier may be waiting for the queue to drain.
    if (!processBuffered(connection)) return;
    if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) {
        if (connection.out.queuedBytes() < kPauseBytes) {
            ssize_t n = connection.reader.fill(connection.sock.get());
            if (n == 0 || (n < 0 && n != -EAGAIN)) return drop(id);
            if (!processBuffered(connection)) return;
        } else if ((events & (EPOLLHUP | EPOLLERR)) != 0) {
            return drop(id);
        }
    }
    updateEvents(connection);
}

bool RegistryServer::processBuffered(Connection& connection) {
    // Answers that pile up unread pause the reading; the rest waits for the queue to
    // drain.
    while (connection.out.queuedBytes() < kPauseBytes) {
        int got = connection.reader.next(&scratch_);
        if (got == 0) break;
        if (got < 0 || !handleMessage(connection, scratch_)) {
            drop(connection.id);
            return false;
        }
        if (connection.dead) return false;
    }
    return true;
}

bool RegistryServer::handleMessage(Connection& connection, Message& message) {
    const MessageHeader& header = message.header;
    if (!connection.greeted) {
        if (header.type != MSG_HELLO || header.code != kProtocolMagic ||
            header.value != kProtocolVersion || header.size != 0) {
            return false;
        }
        connection.greeted = true;
        sendTo(connection, {MSG_HELLO, kProtocolMagic, OK, 0}, Parcel());
        return true;
    }
    bool ok = true;
    switch (header.type) {
        case MSG_REGISTER:
            handleRegister(connection, message, &ok);
            break;
        case MSG_LOOKUP:
            handleLookup(connection, message, &ok);
            break;
        case MSG_LIST:
            handleList(connection, message, &ok);
            break;
        default:
            return false;
    }
    return ok;
}

namespace {

// Reads the one string a request holds; false when the payload is anything else.
bool readOnlyString(Parcel& payload, String16* out) {
    return payload.readString16(out) == OK && payload.dataAvail() == 0;
}

}  // namespace

void RegistryServer::handleRegister(Connection& connection, Message& message, bool* ok) {
    String16 name;
    if (!readOnlyString(message.payload, &name)) {
        *ok = false;
        return;
    }
    status_t status = OK;
    if (!mayRegister(connection.uid, options_.registryUid, options_.allowAnyUser)) {
        status = -EPERM;
    } else if (validateName(name) != OK) {
        status = -EINVAL;
    } else {
        std::optional<ConnectionId> holder = names_.holder(name);
        if (holder && *holder != connection.id) {
            // A holder that has closed but whose end the loop has not read yet no longer
            // holds anything.
            auto found = connections_.find(*holder);
            if (found == connections_.end() || peerHungUp(*found->second)) drop(*holder);
        }
        status = names_.add(name, connection.id);
        if (status == OK) {
            aerr << "zorlek-registry: registered " << displayName(name) << " (pid "
                 << static_cast<int32_t>(connection.pid) << ", uid "
                 << static_cast<uint32_t>(connection.uid) << ")" << endl;
        }
    }
    sendTo(connection, {MSG_REGISTER_REPLY, 0, status, 0}, Parcel());
}

void RegistryServer::handleLookup(Connection& connection, Message& message, bool* ok) {
    String16 name;
    if (!readOnlyString(message.payload, &name)) {
        *ok = false;
        return;
    }
    status_t status = -ENOENT;
    unique_fd clientEnd;
    std::optional<ConnectionId> holder = names_.holder(name);
    auto found = holder ? connections_.find(*holder) : connections_.end();
    if (found != connections_.end()) {
        Connection& host = *found->second;
        if (&host != &connection && peerHungUp(host)) {
            drop(host.id);
        } else {
            int pair[2];
            if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
                status = -errno;
            } else {
                unique_fd hostEnd(pair[0]);
                clientEnd.reset(pair[1]);
                Parcel payload;
                payload.writeString16(name);
                if (sendTo(host, {MSG_CHANNEL, 0, 0, 0}, payload, std::move(hostEnd))) {
                    status = OK;
                } else {
                    clientEnd.reset();
                }
            }
        }
    }
    if (connection.dead) return;
    sendTo(connection, {MSG_LOOKUP_REPLY, 0, status, 0}, Parcel(), std::move(clientEnd));
}

void RegistryServer::handleList(Connection& connection, Message& message, bool* ok) {
    String16 after;
    if (!readOnlyString(message.payload, &after)) {
        *ok = false;
        return;
    }
    if (after.size() == 0) {
        // A process that has exited may still have its end-of-stream waiting in the loop;
        // its names must not outlive it in a listing made after it died.
        for (ConnectionId owner : names_.owners()) {
            auto found = connections_.find(owner);
            if (owner != connection.id &&
                (found == connections_.end() || peerHungUp(*found->second))) {
                drop(owner);
            }
        }
    }
    bool more = false;
    std::vector<String16> names =
        names_.page(after.size() > 0 ? &after : nullptr, kListPageBytes, &more);
    Parcel payload;
    payload.writeInt32(static_cast<int32_t>(names.size()));
    for (const String16& name : names) payload.writeString16(name);
    sendTo(connection, {MSG_LIST_REPLY, 0, more ? 1 : 0, 0}, payload);
}

}  // namespace zorlek::registry
