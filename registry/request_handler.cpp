#include "registry/request_handler.h"

#include "platform/text.h"
#include "registry/policy.h"

namespace zorlek::registry {
namespace {

// Reads the one string a request holds; false when the payload is anything else.
bool readOnlyString(Parcel& payload, String16* out) {
    return payload.readString16(out) == OK && payload.dataAvail() == 0;
}

}  // namespace

RequestHandler::RequestHandler(const ServerOptions& options, PeerTransport& transport)
    : options_(options), transport_(transport) {}

bool RequestHandler::handle(Peer& from, Message& message) {
    const MessageHeader& header = message.header;
    if (from.version == 0) {
        if (header.type != MSG_HELLO || header.code != kProtocolMagic ||
            header.value < kOldestProtocolVersion || header.value > kProtocolVersion ||
            header.size != 0) {
            return false;
        }
        from.version = header.value;
        transport_.send(from.id, {MSG_HELLO, kProtocolMagic, OK, 0}, Parcel(), unique_fd());
        return true;
    }
    String16 name;
    if (!readOnlyString(message.payload, &name)) return false;
    switch (header.type) {
        case MSG_REGISTER: {
            Parcel answer;
            status_t status = registerName(from, name, &answer);
            transport_.send(from.id, {MSG_REGISTER_REPLY, 0, status, 0}, answer, unique_fd());
            return true;
        }
        case MSG_LOOKUP:
            lookup(from, name);
            return true;
        case MSG_LIST:
            list(from, name);
            return true;
        default:
            return false;
    }
}

status_t RequestHandler::registerName(Peer& from, const String16& name, Parcel* answer) {
    uid_t uid = from.credentials.uid;
    if (!permitRegistration(options_, from, name, answer)) return -EPERM;
    if (validateName(name) != OK) return -EINVAL;
    if (!trustedUser(uid, options_) && names_.countOf(from.id) >= options_.maxNamesPerConnection) {
        return -EDQUOT;
    }
    std::optional<ConnectionId> holder = names_.holder(name);
    // A holder that has closed, but whose end the loop has not read yet, holds nothing:
    // dropping it frees its names now.
    if (holder && *holder != from.id && transport_.hungUp(*holder)) transport_.drop(*holder);
    status_t status = names_.add(name, from.id);
    if (status == OK) {
        ++namesByUser_[uid];
        aerr << "zorlek-registry: registered " << narrowForDisplay(name) << " (pid "
             << static_cast<int32_t>(from.credentials.pid) << ", uid " << static_cast<uint32_t>(uid)
             << ")" << endl;
    }
    return status;
}

void RequestHandler::lookup(Peer& from, const String16& name) {
    status_t status = -ENOENT;
    unique_fd clientEnd;
    std::optional<ConnectionId> holder = names_.holder(name);
    // The requester's own backlog, and the host's backlog of channels not yet delivered,
    // per requesting user and in all: past them the lookup is refused to the one who
    // asked, and the host, busy or not, keeps its names.
    // A host that has gone fails the channel's send, which drops it and its names: no
    // check of its socket is needed first.
    uint32_t tag = from.credentials.uid + 1;
    if (holder && (transport_.pendingFds(from.id, 0) >= options_.maxUnreadLookups ||
                   transport_.pendingFds(*holder, tag) >= options_.maxPendingChannelsPerUser ||
                   transport_.pendingFds(*holder, 0) >= options_.maxPendingChannels)) {
        status = -EAGAIN;
    } else if (holder) {
        unique_fd hostEnd;
        status = transport_.makeChannel(&hostEnd, &clientEnd);
        if (status == OK) {
            Parcel payload;
            payload.writeString16(name);
            // The service learns who calls it from here: the channel itself only shows
            // the registry, which made it.
            const Peer* host = transport_.peer(*holder);
            if (host != nullptr && host->version >= 2) {
                payload.writeInt32(from.credentials.pid);
                payload.writeInt32(static_cast<int32_t>(from.credentials.uid));
                payload.writeInt32(static_cast<int32_t>(from.credentials.gid));
            }
            if (!transport_.send(*holder, {MSG_CHANNEL, 0, 0, 0}, payload, std::move(hostEnd),
                                 tag)) {
                status = -ENOENT;
                clientEnd.reset();
            }
        }
    }
    transport_.send(from.id, {MSG_LOOKUP_REPLY, 0, status, 0}, Parcel(), std::move(clientEnd));
}

void RequestHandler::list(Peer& from, const String16& after) {
    if (after.size() == 0) {
        // A process that has exited may still have its end-of-stream waiting in the loop;
        // its names must not outlive it in a listing made after it died.
        for (ConnectionId owner : names_.owners()) {
            if (owner != from.id && transport_.hungUp(owner)) transport_.drop(owner);
        }
    }
    bool more = false;
    std::vector<String16> names =
        names_.page(after.size() > 0 ? &after : nullptr, kListPageBytes, &more);
    Parcel payload;
    payload.writeInt32(static_cast<int32_t>(names.size()));
    for (const String16& name : names) payload.writeString16(name);
    transport_.send(from.id, {MSG_LIST_REPLY, 0, more ? 1 : 0, 0}, payload, unique_fd());
}

bool RequestHandler::hostsNames(uid_t uid) const {
    return namesByUser_.contains(uid);
}

void RequestHandler::peerGone(const Peer& peer) {
    std::vector<String16> released = names_.releaseAll(peer.id);
    if (!released.empty()) {
        auto owned = namesByUser_.find(peer.credentials.uid);
        if (owned != namesByUser_.end() && (owned->second -= released.size()) == 0) {
            namesByUser_.erase(owned);
        }
    }
    for (const String16& name : released) {
        aerr << "zorlek-registry: removed " << narrowForDisplay(name) << " (pid "
             << static_cast<int32_t>(peer.credentials.pid) << ")" << endl;
    }
}

}  // namespace zorlek::registry
