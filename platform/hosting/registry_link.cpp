// SPDX-License-Identifier: Apache-2.0
#include "platform/hosting/registry_link.h"

#include "platform/base/deadline.h"
#include "platform/text/narrow.h"
#include "platform/transport/unix_connect.h"

namespace zorlek {
namespace {

constexpr ConnectionLimits kRegistryLimits = {
    .readBuffer = kMaxRegistryRequest,
    .maxPayload = kMaxRegistryRequest,
    .pauseBytes = 2 * kMaxParcelSize,
};

}  // namespace

RegistryLink::RegistryLink(EventLoop& loop, ObjectTable& objects, ChannelServer& channels,
                           const HostOptions& options)
    : loop_(loop),
      objects_(objects),
      channels_(channels),
      options_(options),
      reconnectPauseMs_(kFirstReconnectPauseMs),
      retryPauseMs_(kFirstRetryPauseMs),
      answerDue_(loop, [this] { disconnect(-ETIMEDOUT); }),
      reconnectTimer_(loop, [this] { reconnect(); }),
      retryTimer_(loop, [this] { retryRefused(); }) {}

RegistryLink::~RegistryLink() = default;

status_t RegistryLink::connect(const char* path) {
    if (connection_) return -EISCONN;
    path_ = String8(path);
    unique_fd sock;
    // No waiting in connect(2): a full backlog is tried again by the caller, after a pause
    // in which a stop can come.
    status_t status = connectUnix(path, 0, &sock);
    if (status == -ETIMEDOUT) return -EAGAIN;
    if (status == OK) status = attach(std::move(sock));
    if (status == OK) status = greet();
    // The handshake runs in the loop, so that a stop ends the wait at once.
    while (status == OK && connection_ && helloPending_) status = loop_.runOnce(-1);
    if (status != OK) {
        disconnect(status);
        return status;
    }
    if (connection_) return OK;
    // Bytes that are not a registry's answer.
    return lastClose_ == -EBADMSG || lastClose_ == -EMSGSIZE ? -EPROTO : lastClose_;
}

status_t RegistryLink::greet() {
    helloPending_ = true;
    helloDueMs_ = monotonicMs() + options_.timeoutMs;
    status_t status = connection_->send(helloRequest(), Parcel());
    awaitAnswers();
    return connection_ ? status : lastClose_;
}

status_t RegistryLink::attach(unique_fd sock) {
    auto connection =
        std::make_unique<Connection>(loop_, std::move(sock), owner(), kRegistryLimits);
    status_t status = connection->start();
    if (status == OK) connection_ = std::move(connection);
    return status;
}

void RegistryLink::disconnect(status_t why) {
    if (connection_) connection_->close(why);
}

void RegistryLink::onClosed(Connection& /*connection*/, status_t why) {
    lastClose_ = why;
    loop_.retire(std::move(connection_));
    helloPending_ = false;
    for (Pending& pending : pending_) {
        if (pending.result != nullptr) *pending.result = why;
    }
    pending_.clear();
    for (Entry& entry : entries_) {
        entry.registered = false;
        entry.refused = false;
    }
    answerDue_.disarm();
    retryTimer_.disarm();
    if (serving_ && !reconnectTimer_.armed()) scheduleReconnect();
}

void RegistryLink::setServing(bool serving) {
    serving_ = serving;
    if (serving_ && !connection_ && !reconnectTimer_.armed()) reconnectTimer_.armIn(0);
}

void RegistryLink::scheduleReconnect() {
    reconnectTimer_.armIn(reconnectPauseMs_);
    // The pause grows while tries fail and is reset by a completed handshake.
    reconnectPauseMs_ = doubledPause(reconnectPauseMs_, kMaxReconnectPauseMs);
}

void RegistryLink::refusedAgain(Entry& entry, status_t status) {
    entry.refused = true;
    if (!entry.refusalTold && options_.onRegistrationRefused) {
        options_.onRegistrationRefused(entry.name, status);
    }
    entry.refusalTold = true;
    if (retryTimer_.armed()) return;
    retryTimer_.armIn(retryPauseMs_);
    retryPauseMs_ = doubledPause(retryPauseMs_, kMaxRetryPauseMs);
}

void RegistryLink::retryRefused() {
    if (!connection_) return;
    for (size_t i = 0; i < entries_.size(); ++i) {
        if (!entries_[i].refused) continue;
        entries_[i].refused = false;
        if (sendRegistration(i, nullptr) != OK && !askLater(i)) return;
    }
    awaitAnswers();
}

bool RegistryLink::askLater(size_t entry) {
    // A lost connection asks for every name again once it is back.
    if (!connection_) return false;
    entries_[entry].refused = true;
    if (!retryTimer_.armed()) retryTimer_.armIn(retryPauseMs_);
    return true;
}

void RegistryLink::reconnect() {
    if (connection_) return;
    unique_fd sock;
    // No waiting here: a registry that is not there yet is tried again after a pause.
    status_t status = path_.size() > 0 ? connectUnix(path_.c_str(), 0, &sock) : -ENOENT;
    if (status == OK) status = attach(std::move(sock));
    if (status != OK) return scheduleReconnect();
    if (greet() != OK) return;
    // Requests are answered in order, so every name can be asked for at once.
    for (size_t i = 0; i < entries_.size(); ++i) {
        if (sendRegistration(i, nullptr) != OK && !askLater(i)) return;
    }
    awaitAnswers();
}

status_t RegistryLink::add(const String16& name, const sp<LocalObject>& object, status_t* result) {
    if (!connection_) return -ENOTCONN;
    if (!index_.emplace(name, entries_.size()).second) return -EEXIST;
    entries_.push_back({name, false});
    objects_.add(object);
    status_t status = sendRegistration(entries_.size() - 1, result);
    // Nothing of it reached the registry: forgotten, as if never added.
    if (status != OK) {
        forgetLast();
        return status;
    }
    awaitAnswers();
    return OK;
}

status_t RegistryLink::sendRegistration(size_t entry, status_t* result) {
    Parcel payload;
    payload.writeString16(entries_[entry].name);
    if (payload.status() != OK) return payload.status();
    // A send fails either closing the connection (which answers every pending wait) or
    // with nothing sent (memory ran out): either way no answer comes for this request, and
    // it is not pending, so that the answers to come pair with the requests that went.
    status_t status = connection_->send({MSG_REGISTER, 0, 0, 0, 0, handleOf(entry)}, payload);
    if (status == OK) pending_.push_back({entry, result, monotonicMs() + options_.timeoutMs});
    return status;
}

void RegistryLink::settleFailed(status_t* result) {
    bool lastPending = false;
    for (Pending& pending : pending_) {
        if (pending.result == result) pending.result = nullptr;
        lastPending |= pending.entry + 1 == entries_.size();
    }
    // Adds happen one at a time, so the failed one is the last entry.
    if (!lastPending && !entries_.empty() && !entries_.back().registered) forgetLast();
}

void RegistryLink::forgetLast() {
    index_.erase(entries_.back().name);
    entries_.pop_back();
    objects_.removeLast();
}

void RegistryLink::awaitAnswers() {
    // Each request has its own bound from when it went out: answers that trickle in keep
    // no later request waiting past its own.
    if (!connection_ || (!helloPending_ && pending_.empty())) return answerDue_.disarm();
    answerDue_.armAt(helloPending_ ? helloDueMs_ : pending_.front().dueMs);
}

const RegistryLink::Entry* RegistryLink::find(const String16& name) const {
    auto found = index_.find(name);
    return found != index_.end() ? &entries_[found->second] : nullptr;
}

bool RegistryLink::isRegistered(const String16& name) const {
    const Entry* entry = find(name);
    return entry != nullptr && entry->registered;
}

bool RegistryLink::onMessage(Connection& /*connection*/, Message& message) {
    switch (message.header.type) {
        case MSG_HELLO: {
            if (!helloPending_ || message.header.code != kProtocolMagic) return false;
            // The registry's refusal, or a registry of another version: the reason ends it.
            status_t refused = helloAnswerStatus(message.header);
            if (refused != OK) {
                disconnect(refused == -EPROTO ? -EPROTONOSUPPORT : refused);
                return true;
            }
            helloPending_ = false;
            reconnectPauseMs_ = kFirstReconnectPauseMs;
            awaitAnswers();
            return true;
        }
        case MSG_REGISTER_REPLY: {
            if (helloPending_ || pending_.empty()) return false;
            status_t status = message.header.value > 0 ? -EBADMSG : message.header.value;
            // A refusal may say who may hold the name, as one string; whatever a newer
            // registry appends is passed over.
            String16 reason;
            if (status == -EPERM && message.payload.dataSize() != 0 &&
                message.payload.readString16(&reason) != OK) {
                return false;
            }
            if (status != OK) refusalReason_ = String8(narrowForDisplay(reason));
            Pending pending = pending_.front();
            pending_.pop_front();
            if (pending.result != nullptr) *pending.result = status;
            if (pending.entry < entries_.size()) {
                Entry& entry = entries_[pending.entry];
                entry.registered = status == OK;
                if (status == OK) objects_.publish(handleOf(pending.entry));
                if (status == OK) {
                    entry.refusalTold = false;
                    retryPauseMs_ = kFirstRetryPauseMs;
                } else if (pending.result == nullptr) {
                    // A name this host held before the registry restarted: it stays this
                    // host's to ask for until the one who took it meanwhile lets go.
                    refusedAgain(entry, status);
                }
            }
            awaitAnswers();
            return true;
        }
        case MSG_CHANNEL:
            return handleChannel(message);
        case MSG_TAP:
            return handleTap(message);
        default:
            return false;
    }
}

bool RegistryLink::handleChannel(Message& message) {
    int32_t pid = 0, uid = -1, gid = -1;
    // Whatever a newer registry appends after these is passed over.
    if (message.payload.readInt32(&pid) != OK || message.payload.readInt32(&uid) != OK ||
        message.payload.readInt32(&gid) != OK) {
        return false;
    }
    // Out of descriptors, the channel's end was cut off on the way (MSG_CTRUNC): the
    // client sees its channel close, and the registration stays.
    if (!message.fd) return true;
    // What the client can read; a registry that does not say speaks for a client without
    // objects.
    int32_t features = 0;
    message.payload.readInt32(&features);
    channels_.adopt(std::move(message.fd), {pid, static_cast<uid_t>(uid), static_cast<gid_t>(gid)},
                    static_cast<uint32_t>(features));
    return true;
}

bool RegistryLink::handleTap(Message& message) {
    int32_t pid = 0, uid = -1, gid = -1, snaplen = 0;
    // Whatever a newer registry appends after these is passed over.
    if (message.payload.readInt32(&pid) != OK || message.payload.readInt32(&uid) != OK ||
        message.payload.readInt32(&gid) != OK || message.payload.readInt32(&snaplen) != OK) {
        return false;
    }
    if (!message.fd) return true;  // cut off on the way: its monitor sees the tap end
    ucred monitor{pid, static_cast<uid_t>(uid), static_cast<gid_t>(gid)};
    channels_.taps().adopt(std::move(message.fd), monitor, snaplen);
    return true;
}

}  // namespace zorlek
