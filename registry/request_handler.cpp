// SPDX-License-Identifier: Apache-2.0
#include "registry/request_handler.h"

#include "platform/base/deadline.h"
#include "platform/text.h"
#include "registry/policy.h"

namespace zorlek::registry {
namespace {

// Reads the string a request begins with; what a newer peer appends after it is skipped.
bool readName(Parcel& payload, String16* out) {
    return payload.readString16(out) == OK;
}

}  // namespace

RequestHandler::RequestHandler(const ServerOptions& options, PeerTransport& transport)
    : options_(options),
      transport_(transport),
      namesByUser_(options.registryUid),
      taps_(options.registryUid) {}

bool RequestHandler::handle(Peer& from, Message& message) {
    const MessageHeader& header = message.header;
    if (from.version == 0) return greet(from, header);
    if (header.type == MSG_RELEASE) {
        // A channel whose end has not reached the client yet is not the client's to let go.
        const bool* sent = channel(from.id, hostOf(header));
        if (sent != nullptr && *sent) release(from.id, hostOf(header));
        return true;
    }
    if (header.type == MSG_WATCH) return watch(from, header, message.payload);
    String16 name;
    if (!readName(message.payload, &name)) return false;
    switch (header.type) {
        case MSG_REGISTER: {
            if (header.object == 0) return false;
            Parcel answer;
            status_t status = registerName(from, name, header.object, &answer);
            transport_.send(from.id, {MSG_REGISTER_REPLY, 0, status, 0}, answer);
            return true;
        }
        case MSG_LOOKUP:
            lookup(from, name);
            return true;
        case MSG_LIST:
            list(from, name);
            return true;
        case MSG_STATUS:
            status(from, name);
            return true;
        case MSG_MONITOR:
            return monitor(from, name, message.payload);
        default:
            return false;
    }
}

bool RequestHandler::serves(uint32_t type) const {
    if (type == MSG_STATUS) return (options_.features & FEATURE_STATUS) != 0;
    if (type == MSG_WATCH) return (options_.features & FEATURE_WATCH) != 0;
    if (type == MSG_MONITOR) return (options_.features & FEATURE_MONITOR) != 0;
    return true;
}

bool RequestHandler::greet(Peer& from, const MessageHeader& hello) {
    if (hello.type != MSG_HELLO || hello.code != kProtocolMagic) return false;
    if (hello.value != kProtocolVersion) {
        refuseVersion(from, hello.value);
        return true;
    }
    from.version = hello.value;
    from.features = hello.object;
    MessageHeader answer{MSG_HELLO, kProtocolMagic, OK, 0, options_.features, kProtocolVersion};
    transport_.send(from.id, answer, Parcel());
    return true;
}

void RequestHandler::refuseVersion(Peer& from, int32_t version) {
    if (mayLog(from.credentials.uid)) {
        aerr << "zorlek-registry: refused a peer of protocol version " << version << " (pid "
             << static_cast<int32_t>(from.credentials.pid) << ", uid "
             << static_cast<uint32_t>(from.credentials.uid) << "): this registry speaks version "
             << kProtocolVersion << endl;
    }
    MessageHeader answer{MSG_HELLO, kProtocolMagic, -EPROTONOSUPPORT, 0, 0, kProtocolVersion};
    transport_.send(from.id, answer, Parcel());
    end(from.id, true);
}

void RequestHandler::end(ConnectionId id, bool flush) {
    const Peer* peer = transport_.peer(id);
    if (peer == nullptr) return;  // forgotten already
    peerGone(*peer);
    if (flush) {
        transport_.finish(id);
    } else {
        transport_.drop(id);
    }
}

bool RequestHandler::endHungUp(ConnectionId asker) {
    bool askerGone = false;
    for (ConnectionId id : transport_.hungUpPeers()) {
        askerGone = askerGone || id == asker;
        end(id, false);
    }
    return askerGone;
}

status_t RequestHandler::registerName(Peer& from, const String16& name, uint32_t handle,
                                      Parcel* answer) {
    uid_t uid = from.credentials.uid;
    if (!permitRegistration(options_, from, name, answer, &log_)) return -EPERM;
    if (validateName(name) != OK) return -EINVAL;
    if (status_t quota = mayAddName(from); quota != OK) return quota;
    std::optional<ConnectionId> holder = names_.holder(name);
    // A holder that has closed, but whose end the loop has not read yet, holds nothing:
    // dropping it frees its names now.
    if (holder && *holder != from.id && transport_.hungUp(*holder)) end(*holder, false);
    status_t status = names_.add(name, from.id, handle);
    if (status == OK) {
        namesByUser_.add(uid);
        if (mayLog(uid)) {
            aerr << "zorlek-registry: registered " << narrowForDisplay(name) << " (pid "
                 << static_cast<int32_t>(from.credentials.pid) << ", uid "
                 << static_cast<uint32_t>(uid) << ")" << endl;
        }
        answerWaits(watches_.registered(name));
    }
    return status;
}

bool RequestHandler::mayLog(uid_t uid) {
    return trustedUser(uid, options_) || log_.admit(uid, monotonicMs());
}

status_t RequestHandler::mayAddName(const Peer& from) const {
    uid_t uid = from.credentials.uid;
    if (trustedUser(uid, options_)) return OK;
    if (namesByUser_.of(uid) >= options_.maxNamesPerUser) return -EDQUOT;
    return namesByUser_.others() >= options_.maxNamesOfOthers ? -EDQUOT : OK;
}

void RequestHandler::lookup(Peer& from, const String16& name) {
    MessageHeader answer{MSG_LOOKUP_REPLY, 0, -ENOENT, 0};
    unique_fd clientEnd;
    if (const Holder* holder = names_.find(name)) {
        // A host this connection already reaches is answered with the handle alone: no
        // channel, no descriptor, no word to the host. One whose channel is still on its
        // way to it is refused for a moment: the client asks again, and by then has it.
        ConnectionId host = holder->owner;
        uint32_t handle = holder->handle;
        const bool* sent = channel(from.id, host);
        answer.value = sent == nullptr ? introduce(from, host, &clientEnd) : *sent ? OK : -EAGAIN;
        if (answer.value == OK) {
            setHost(&answer, host);
            answer.object = handle;
        }
    }
    // A client that can pass objects learns whether the host can read them.
    Parcel payload;
    const Peer* hostPeer = answer.value == OK ? transport_.peer(hostOf(answer)) : nullptr;
    if (hostPeer != nullptr && (from.features & PEER_OBJECTS) != 0) {
        payload.writeInt32(static_cast<int32_t>(hostPeer->features));
    }
    bool withChannel = clientEnd.valid();
    status_t sent =
        transport_.send(from.id, answer, payload, std::move(clientEnd), from.credentials.uid);
    // The channel could not go for want of room: the lookup is refused with why, and the
    // host's end closes with the client's.
    if (withChannel && sent != OK && sent != -EPIPE) {
        release(from.id, hostOf(answer));
        MessageHeader refused{MSG_LOOKUP_REPLY, 0, sent, 0};
        transport_.send(from.id, refused, Parcel());
    }
}

status_t RequestHandler::introduce(Peer& from, ConnectionId host, unique_fd* clientEnd) {
    // The requester's own channels not yet taken, the host's, per requesting user and in
    // all, and the descriptors the requesting user has out: past any, the lookup is
    // refused to the one who asked, and the host, busy or not, keeps its names.
    uid_t asker = from.credentials.uid;
    if (transport_.unreadFds(from.id) >= options_.maxUnreadLookups ||
        transport_.unreadFds(host, asker) >= options_.maxPendingChannelsPerUser ||
        transport_.unreadFds(host) >= options_.maxPendingChannels ||
        !transport_.mayHoldFds(asker, 2)) {
        return -EAGAIN;
    }
    unique_fd hostEnd;
    status_t status = transport_.makeChannel(&hostEnd, clientEnd);
    if (status != OK) return status;
    // The host learns who calls it from here: the channel itself only shows the registry,
    // which made it.
    Parcel payload;
    payload.writeInt32(from.credentials.pid);
    payload.writeInt32(static_cast<int32_t>(from.credentials.uid));
    payload.writeInt32(static_cast<int32_t>(from.credentials.gid));
    const Peer* hostPeer = transport_.peer(host);
    if (hostPeer != nullptr && (hostPeer->features & PEER_OBJECTS) != 0) {
        payload.writeInt32(static_cast<int32_t>(from.features));
    }
    // A host that has gone fails the send, which drops it and its names; one that has no
    // room for the channel now keeps them, and the lookup is refused with why.
    status_t sent = transport_.send(host, {MSG_CHANNEL}, payload, std::move(hostEnd), asker);
    if (sent != OK) {
        clientEnd->reset();
        return sent == -EPIPE ? -ENOENT : sent;
    }
    // Known to the client once its end has gone (channelSent).
    hostsOf_[from.id][host] = false;
    clientsOf_[host].insert(from.id);
    return OK;
}

bool* RequestHandler::channel(ConnectionId client, ConnectionId host) {
    auto hosts = hostsOf_.find(client);
    if (hosts == hostsOf_.end()) return nullptr;
    auto found = hosts->second.find(host);
    return found == hosts->second.end() ? nullptr : &found->second;
}

void RequestHandler::channelSent(ConnectionId client, ConnectionId host, status_t status) {
    bool* sent = channel(client, host);
    if (sent != nullptr && status == OK) *sent = true;
    if (sent != nullptr && status != OK) release(client, host);
}

void RequestHandler::release(ConnectionId client, ConnectionId host) {
    auto hosts = hostsOf_.find(client);
    if (hosts == hostsOf_.end() || hosts->second.erase(host) == 0) return;
    if (hosts->second.empty()) hostsOf_.erase(hosts);
    auto clients = clientsOf_.find(host);
    if (clients == clientsOf_.end()) return;
    clients->second.erase(client);
    if (clients->second.empty()) clientsOf_.erase(clients);
}

void RequestHandler::list(Peer& from, const String16& after) {
    // A process that has exited may still have its end-of-stream waiting in the loop;
    // its names must not outlive it in a listing made after it died.
    // The one asking may be among them.
    if (after.size() == 0 && endHungUp(from.id)) return;
    bool more = false;
    std::vector<String16> names =
        names_.page(after.size() > 0 ? &after : nullptr, kListPageBytes, &more);
    Parcel payload;
    payload.writeInt32(static_cast<int32_t>(names.size()));
    for (const String16& name : names) payload.writeString16(name);
    transport_.send(from.id, {MSG_LIST_REPLY, 0, more ? 1 : 0, 0}, payload);
}

bool RequestHandler::hostsNames(uid_t uid) const {
    return namesByUser_.of(uid) > 0;
}

void RequestHandler::peerGone(const Peer& peer) {
    // Forget the channels both ways: a client's to its hosts, a host's to its clients.
    if (auto hosts = hostsOf_.find(peer.id); hosts != hostsOf_.end()) {
        std::vector<ConnectionId> gone;
        for (const auto& [host, sent] : hosts->second) gone.push_back(host);
        for (ConnectionId host : gone) release(peer.id, host);
    }
    if (auto clients = clientsOf_.find(peer.id); clients != clientsOf_.end()) {
        std::vector<ConnectionId> gone(clients->second.begin(), clients->second.end());
        for (ConnectionId client : gone) release(client, peer.id);
    }
    watches_.drop(peer.id);
    taps_.drop(peer.id);
    std::vector<String16> released = names_.releaseAll(peer.id);
    namesByUser_.remove(peer.credentials.uid, released.size());
    for (const String16& name : released) {
        answerWaits(watches_.removed(name));
        if (!mayLog(peer.credentials.uid)) continue;
        aerr << "zorlek-registry: removed " << narrowForDisplay(name) << " (pid "
             << static_cast<int32_t>(peer.credentials.pid) << ")" << endl;
    }
}

void RequestHandler::policyChanged() {
    for (ConnectionId owner : names_.owners()) {
        const Peer* holder = transport_.peer(owner);
        if (holder == nullptr) continue;
        for (const String16& name : names_.namesOf(owner)) {
            String8 why;
            if (grantedTo(options_, *holder, name, &why)) continue;
            uid_t uid = holder->credentials.uid;
            if (mayLog(uid)) {
                aerr << "zorlek-registry: the policy no longer grants " << narrowForDisplay(name)
                     << " to uid " << static_cast<uint32_t>(uid) << " (pid "
                     << static_cast<int32_t>(holder->credentials.pid) << "): " << why
                     << "; its holder is disconnected" << endl;
            }
            // It registers its names again as after a restart, and learns why this one is
            // refused from the answer.
            end(owner, true);
            break;
        }
    }
}

bool RequestHandler::watch(Peer& from, const MessageHeader& header, Parcel& payload) {
    int32_t count = 0;
    bool gone = (header.value & WATCH_GONE) != 0;
    bool now = (header.value & WATCH_NOW) != 0;
    // Each name takes at least 8 bytes, so the count cannot claim more than the payload.
    if (payload.readInt32(&count) != OK || count < 0 ||
        static_cast<size_t>(count) > payload.dataAvail() / 8) {
        return false;
    }
    std::vector<String16> names(static_cast<size_t>(count));
    MessageHeader answer{MSG_WATCH_REPLY, 0, OK, 0, header.serial};
    for (size_t i = 0; i < names.size(); ++i) {
        if (payload.readString16(&names[i]) != OK) return false;
        if (answer.value == OK && validateName(names[i]) != OK) {
            answer.value = -EINVAL;
            answer.code = static_cast<uint32_t>(i);
        }
    }
    if (answer.value == OK && now) {
        for (size_t i = 0; i < names.size() && answer.value == OK; ++i) {
            if ((names_.find(names[i]) != nullptr) == gone) {
                answer.value = -EAGAIN;
                answer.code = static_cast<uint32_t>(i);
            }
        }
    } else if (answer.value == OK) {
        if (watches_.waiting(from.id)) {
            answer.value = -EBUSY;
        } else if (status_t quota = mayWait(from, names.size()); quota != OK) {
            answer.value = quota;
        } else if (!watches_.add(from.id, from.credentials.uid, header.serial, names, gone,
                                 names_)) {
            return true;  // kept: answered when a registration or a removal makes it hold
        }
    }
    transport_.send(from.id, answer, Parcel());
    return true;
}

void RequestHandler::answerWaits(const std::vector<WatchTable::Held>& held) {
    for (const WatchTable::Held& wait : held) {
        transport_.send(wait.client, {MSG_WATCH_REPLY, 0, OK, 0, wait.serial}, Parcel());
    }
}

status_t RequestHandler::mayWait(const Peer& from, size_t count) const {
    if (trustedUser(from.credentials.uid, options_)) return OK;
    size_t now = watches_.namesOfUser(from.credentials.uid);
    return now + count > options_.maxWaitingNamesPerUser ? -EDQUOT : OK;
}

void RequestHandler::status(Peer& from, const String16& name) {
    MessageHeader answer{MSG_STATUS_REPLY, 0, -ENOENT, 0};
    Parcel payload;
    const Holder* holder = names_.find(name);
    // A holder that has closed, but whose end the loop has not read yet, holds nothing.
    if (holder != nullptr && transport_.hungUp(holder->owner)) {
        end(holder->owner, false);
        holder = names_.find(name);
    }
    const Peer* host = holder != nullptr ? transport_.peer(holder->owner) : nullptr;
    if (host != nullptr) {
        answer.value = OK;
        payload.writeInt32(host->credentials.pid);
        payload.writeInt32(static_cast<int32_t>(host->credentials.uid));
        payload.writeInt32(static_cast<int32_t>(host->credentials.gid));
        payload.writeInt32(static_cast<int32_t>(static_cast<uint64_t>(holder->sinceMs)));
        payload.writeInt32(static_cast<int32_t>(static_cast<uint64_t>(holder->sinceMs) >> 32));
        // The first of its names, as many as fit in a listing page: a trusted host may hold
        // more than one message carries.
        std::vector<String16> held = names_.namesOf(holder->owner);
        size_t count = 0;
        for (size_t bytes = 0; count < held.size(); ++count) {
            bytes += 4 + ((held[count].size() + 1) * 2 + 3) / 4 * 4;
            if (bytes > kListPageBytes) break;
        }
        payload.writeInt32(static_cast<int32_t>(count));
        for (size_t i = 0; i < count; ++i) payload.writeString16(held[i]);
    }
    transport_.send(from.id, answer, payload);
}

}  // namespace zorlek::registry
