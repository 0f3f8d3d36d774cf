#include "platform/ipc/service_host.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstring>

#include "platform/ipc/deadline.h"
#include "platform/ipc/registry_client.h"
#include "platform/ipc/registry_path.h"
#include "platform/ipc/unix_connect.h"
#include "platform/ipc/wire.h"

namespace zorlek {
namespace {

constexpr uint64_t kStopTag = 0;
constexpr uint64_t kRegistryTag = 1;
constexpr int kFirstReconnectPauseMs = 10;
constexpr int kMaxReconnectPauseMs = 250;
// Requests are read into this much buffer; bigger payloads go straight into a parcel.
constexpr size_t kChannelBuffer = 16 * 1024;
// A channel whose unsent replies pass this is not read until they drain, so a client
// that sends but never reads cannot make the host queue without end.
constexpr size_t kChannelPauseBytes = 2 * kMaxParcelSize;

}  // namespace

struct ServiceHost::Channel {
    unique_fd sock;
    MessageReader reader{kChannelBuffer, kMaxParcelSize};
    OutQueue out;
    sp<LocalObject> object;
    uint32_t events = 0;  // what epoll watches for now
};

ServiceHost::ServiceHost(int timeoutMs)
    : timeoutMs_(timeoutMs),
      reconnectPauseMs_(kFirstReconnectPauseMs),
      epoll_(::epoll_create1(EPOLL_CLOEXEC)),
      stopEvent_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (epoll_ && stopEvent_) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = kStopTag;
        ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, stopEvent_.get(), &event);
    }
}

ServiceHost::~ServiceHost() = default;

status_t ServiceHost::connect() {
    return connect(registryPath());
}

status_t ServiceHost::connect(const char* path) {
    if (!epoll_ || !stopEvent_) return -EMFILE;
    if (registry_) return -EISCONN;
    path_ = String8(path);
    unique_fd sock;
    status_t status = connectToRegistry(path, timeoutMs_, &sock);
    if (status != OK) return status;
    return attachRegistry(std::move(sock));
}

status_t ServiceHost::attachRegistry(unique_fd sock) {
    registry_ = std::move(sock);
    registryReader_ = std::make_unique<MessageReader>(kMaxRegistryRequest, kMaxRegistryRequest);
    registryOut_ = OutQueue();
    registryWritable_ = false;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kRegistryTag;
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, registry_.get(), &event) != 0) {
        status_t status = -errno;
        registry_.reset();
        return status;
    }
    return OK;
}

void ServiceHost::registryLost(status_t why) {
    if (registry_) {
        ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, registry_.get(), nullptr);
        registry_.reset();
    }
    registryReader_.reset();
    registryOut_ = OutQueue();
    helloPending_ = false;
    for (PendingRegistration& pending : pending_) {
        if (pending.result != nullptr) *pending.result = why;
    }
    pending_.clear();
    for (Entry& entry : entries_) entry.registered = false;
    if (serving_ && reconnectAtMs_ < 0) scheduleReconnect();
}

void ServiceHost::scheduleReconnect() {
    reconnectAtMs_ = monotonicMs() + reconnectPauseMs_;
    // The pause grows while tries fail and is reset by a completed handshake.
    reconnectPauseMs_ =
        reconnectPauseMs_ * 2 > kMaxReconnectPauseMs ? kMaxReconnectPauseMs : reconnectPauseMs_ * 2;
}

void ServiceHost::tryReconnect() {
    reconnectAtMs_ = -1;
    unique_fd sock;
    // No waiting here: a registry that is not there yet is tried again after a pause.
    status_t status = path_.size() > 0 ? connectUnix(path_.c_str(), 0, &sock) : -ENOENT;
    if (status == OK) status = attachRegistry(std::move(sock));
    if (status != OK) return scheduleReconnect();
    MessageHeader hello{MSG_HELLO, kProtocolMagic, kProtocolVersion, 0};
    status = registryOut_.send(registry_.get(), hello, nullptr, 0);
    if (status != OK) return registryLost(status);
    helloPending_ = true;
    answerDueMs_ = monotonicMs() + timeoutMs_;
    // Requests are answered in order, so every name can be asked for at once.
    for (size_t i = 0; i < entries_.size(); ++i) {
        if (queueRegistration(i, nullptr) != OK) return;
    }
    updateRegistryEvents();
}

status_t ServiceHost::queueRegistration(size_t entry, status_t* result) {
    Parcel payload;
    payload.writeString16(entries_[entry].name);
    status_t status = registryOut_.send(registry_.get(), {MSG_REGISTER, 0, 0, 0}, payload.data(),
                                        payload.dataSize());
    if (pending_.empty() && !helloPending_) answerDueMs_ = monotonicMs() + timeoutMs_;
    pending_.push_back({entry, result});
    if (status != OK) registryLost(status);
    return status;
}

void ServiceHost::updateRegistryEvents() {
    if (!registry_) return;
    bool wantWrite = !registryOut_.empty();
    if (wantWrite == registryWritable_) return;
    epoll_event event{};
    event.events = wantWrite ? (EPOLLIN | EPOLLOUT) : EPOLLIN;
    event.data.u64 = kRegistryTag;
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, registry_.get(), &event);
    registryWritable_ = wantWrite;
}

status_t ServiceHost::addService(const String16& name, const sp<LocalObject>& object) {
    if (!object || name.size() == 0 || name.size() > kMaxNameUnits) return -EINVAL;
    if (!registry_) return -ENOTCONN;
    for (const Entry& entry : entries_) {
        if (entry.name == name) return -EEXIST;
    }
    entries_.push_back({name, object, false});
    size_t index = entries_.size() - 1;
    // Stays positive until the answer (or the loss of the connection) sets it.
    status_t result = 1;
    queueRegistration(index, &result);
    updateRegistryEvents();
    Deadline deadline = Deadline::after(timeoutMs_);
    while (result == 1) {
        int left = deadline.remainingMs();
        if (left == 0) {
            registryLost(-ETIMEDOUT);
            break;
        }
        status_t status = pump(left);
        if (status != OK && result == 1) {
            // Stopped or the loop failed: the answer no longer has anyone waiting for it.
            for (PendingRegistration& pending : pending_) {
                if (pending.result == &result) pending.result = nullptr;
            }
            result = status;
        }
    }
    if (result != OK) {
        // A refused or lost name is not this host's. One still awaiting its answer (the
        // wait was stopped) stays, so that the answer finds its entry.
        bool stillPending = false;
        for (const PendingRegistration& pending : pending_) stillPending |= pending.entry == index;
        if (!stillPending) entries_.pop_back();
    }
    return result;
}

bool ServiceHost::isRegistered(const String16& name) const {
    for (const Entry& entry : entries_) {
        if (entry.name == name) return entry.registered;
    }
    return false;
}

void ServiceHost::stop() {
    int saved = errno;
    stopRequested_.store(true);
    uint64_t one = 1;
    // Only write(2) here: this runs in signal handlers.
    if (::write(stopEvent_.get(), &one, sizeof(one)) < 0) {
    }
    errno = saved;
}

status_t ServiceHost::serve() {
    if (!epoll_ || !stopEvent_) return -EMFILE;
    serving_ = true;
    if (!registry_ && reconnectAtMs_ < 0) reconnectAtMs_ = monotonicMs();
    status_t status = OK;
    while (!stopRequested_.load()) {
        status = pump(nextWakeMs());
        if (status == -EINTR) status = OK;
        if (status != OK) break;
        if (!registry_ && reconnectAtMs_ >= 0 && monotonicMs() >= reconnectAtMs_) {
            tryReconnect();
        }
    }
    serving_ = false;
    stopRequested_.store(false);
    uint64_t count;
    while (::read(stopEvent_.get(), &count, sizeof(count)) > 0) {
    }
    return status;
}

int ServiceHost::nextWakeMs() const {
    int64_t now = monotonicMs();
    int64_t wake = -1;
    if (!registry_ && reconnectAtMs_ >= 0) wake = reconnectAtMs_;
    if (registry_ && (helloPending_ || !pending_.empty())) {
        if (wake < 0 || answerDueMs_ < wake) wake = answerDueMs_;
    }
    if (wake < 0) return -1;
    return wake <= now ? 0 : static_cast<int>(wake - now);
}

status_t ServiceHost::pump(int timeoutMs) {
    epoll_event events[32];
    int n = ::epoll_wait(epoll_.get(), events, 32, timeoutMs);
    if (n < 0) {
        if (errno != EINTR) return -errno;
        n = 0;
    }
    for (int i = 0; i < n; ++i) {
        uint64_t tag = events[i].data.u64;
        if (tag == kStopTag) continue;
        if (tag == kRegistryTag) {
            onRegistryEvent(events[i].events);
        } else {
            onChannelEvent(tag, events[i].events);
        }
    }
    // A registry that stops answering is as good as gone.
    if (registry_ && (helloPending_ || !pending_.empty()) && monotonicMs() >= answerDueMs_) {
        registryLost(-ETIMEDOUT);
    }
    return stopRequested_.load() ? -EINTR : OK;
}

void ServiceHost::onRegistryEvent(uint32_t events) {
    if (!registry_) return;
    if ((events & EPOLLOUT) != 0) {
        status_t status = registryOut_.flush(registry_.get());
        if (status != OK) return registryLost(status);
    }
    if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) {
        ssize_t n = registryReader_->fill(registry_.get());
        if (n == 0) return registryLost(-EPIPE);
        if (n < 0 && n != -EAGAIN) return registryLost(static_cast<status_t>(n));
        for (;;) {
            int got = registryReader_->next(&scratch_);
            if (got < 0) return registryLost(-EBADMSG);
            if (got == 0) break;
            if (!handleRegistryMessage(scratch_)) return registryLost(-EBADMSG);
            if (!registry_) return;
        }
    }
    updateRegistryEvents();
}

bool ServiceHost::handleRegistryMessage(Message& message) {
    switch (message.header.type) {
        case MSG_HELLO:
            if (!helloPending_ || message.header.code != kProtocolMagic ||
                message.header.value != OK) {
                return false;
            }
            helloPending_ = false;
            answerDueMs_ = monotonicMs() + timeoutMs_;
            reconnectPauseMs_ = kFirstReconnectPauseMs;
            return true;
        case MSG_REGISTER_REPLY: {
            if (helloPending_ || pending_.empty() || message.payload.dataSize() != 0) return false;
            PendingRegistration pending = pending_.front();
            pending_.pop_front();
            answerDueMs_ = monotonicMs() + timeoutMs_;
            status_t status = message.header.value > 0 ? -EBADMSG : message.header.value;
            if (pending.entry < entries_.size()) entries_[pending.entry].registered = status == OK;
            if (pending.result != nullptr) *pending.result = status;
            return true;
        }
        case MSG_CHANNEL: {
            String16 name;
            if (!message.fd || message.payload.readString16(&name) != OK ||
                message.payload.dataAvail() != 0) {
                return false;
            }
            for (const Entry& entry : entries_) {
                if (entry.name == name) {
                    addChannel(std::move(message.fd), entry.object);
                    return true;
                }
            }
            // A name this host does not (or no longer) serve: the client sees the
            // channel close.
            message.fd.reset();
            return true;
        }
        default:
            return false;
    }
}

void ServiceHost::addChannel(unique_fd sock, const sp<LocalObject>& object) {
    auto channel = std::make_unique<Channel>();
    channel->sock = std::move(sock);
    channel->object = object;
    channel->events = EPOLLIN;
    uint64_t id = nextChannelId_++;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = id;
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, channel->sock.get(), &event) != 0) return;
    channels_.emplace(id, std::move(channel));
}

void ServiceHost::closeChannel(uint64_t id) {
    auto found = channels_.find(id);
    if (found == channels_.end()) return;
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, found->second->sock.get(), nullptr);
    channels_.erase(found);
}

void ServiceHost::updateChannelEvents(uint64_t id, Channel& channel) {
    uint32_t wanted = 0;
    if (channel.out.queuedBytes() < kChannelPauseBytes) wanted |= EPOLLIN;
    if (!channel.out.empty()) wanted |= EPOLLOUT;
    if (wanted == channel.events) return;
    epoll_event event{};
    event.events = wanted;
    event.data.u64 = id;
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, channel.sock.get(), &event);
    channel.events = wanted;
}

void ServiceHost::onChannelEvent(uint64_t id, uint32_t events) {
    auto found = channels_.find(id);
    if (found == channels_.end()) return;
    Channel& channel = *found->second;
    if ((events & EPOLLOUT) != 0 && channel.out.flush(channel.sock.get()) != OK) {
        return closeChannel(id);
    }
    if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) {
        if ((channel.events & EPOLLIN) == 0) {
            // Not reading while replies wait; a peer that hung up is dropped anyway.
            if ((events & (EPOLLHUP | EPOLLERR)) != 0) return closeChannel(id);
        } else {
            ssize_t n = channel.reader.fill(channel.sock.get());
            if (n == 0 || (n < 0 && n != -EAGAIN)) return closeChannel(id);
            for (;;) {
                int got = channel.reader.next(&scratch_);
                if (got < 0) return closeChannel(id);
                if (got == 0) break;
                if (!handleTransaction(channel, scratch_)) return closeChannel(id);
            }
        }
    }
    updateChannelEvents(id, channel);
}

bool ServiceHost::handleTransaction(Channel& channel, Message& message) {
    if (message.header.type != MSG_TRANSACT) return false;
    uint32_t code = message.header.code;
    uint32_t flags = static_cast<uint32_t>(message.header.value);
    reply_.clear();
    status_t status = channel.object->onTransact(code, message.payload, &reply_, flags);
    bool withheld = channel.object->takeReplyWithheld();
    if ((flags & FLAG_ONEWAY) != 0 || withheld) return true;
    if (reply_.dataSize() > kMaxParcelSize) {
        reply_.clear();
        status = -EMSGSIZE;
    }
    return channel.out.send(channel.sock.get(), {MSG_REPLY, code, status, 0}, reply_.data(),
                            reply_.dataSize()) == OK;
}

const char* describeHostStatus(status_t status) {
    switch (status) {
        case OK:
            return "success";
        case -EINVAL:
            return "the name is not valid (1 to 256 UTF-16 code units, no control characters)";
        case -EEXIST:
            return "the name is already registered";
        case -EPERM:
            return "this user may not register services";
        case -ENOENT:
        case -ECONNREFUSED:
            return "no registry is running";
        case -EPROTO:
            return "the peer is not a registry";
        case -EPIPE:
            return "the registry closed the connection";
        case -ETIMEDOUT:
            return "the registry did not answer in time";
        case -ENOTCONN:
            return "not connected to the registry";
        case -EINTR:
            return "stopped";
        case -ENAMETOOLONG:
            return "the registry's socket path is too long";
        default:
            return std::strerror(-status);
    }
}

}  // namespace zorlek
