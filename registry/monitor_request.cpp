// SPDX-License-Identifier: Apache-2.0
// MSG_MONITOR: a tap on the host of a name, granted by the policy and bounded per host and
// per user. The registry makes the tap as it makes channels, hands the host one end and the
// monitor the other, and stays out of what flows on it.
#include "platform/base/deadline.h"
#include "platform/text.h"
#include "registry/policy.h"
#include "registry/request_handler.h"

namespace zorlek::registry {

const Holder* RequestHandler::liveHolder(const String16& name) {
    const Holder* holder = names_.find(name);
    // A holder that has closed, but whose end the loop has not read yet, holds nothing.
    if (holder != nullptr && transport_.hungUp(holder->owner)) {
        end(holder->owner, false);
        holder = names_.find(name);
    }
    return holder;
}

bool RequestHandler::monitor(Peer& from, const String16& name, Parcel& payload) {
    int32_t snaplen = 0;
    if (payload.readInt32(&snaplen) != OK) return false;
    MessageHeader answer{MSG_MONITOR_REPLY, 0, OK, 0};
    unique_fd monitorEnd;
    answer.value = tap(from, name, snaplen, &answer, &monitorEnd);
    if (answer.value != OK) answer = {MSG_MONITOR_REPLY, 0, answer.value, 0};
    uint64_t host = hostOf(answer);
    status_t sent =
        transport_.send(from.id, answer, Parcel(), std::move(monitorEnd), from.credentials.uid);
    // The tap could not go for want of room: refused with why; the host's end sees the
    // monitor's close and goes.
    if (answer.value == OK && sent != OK && sent != -EPIPE) {
        taps_.removeOne(from.id, host);
        transport_.send(from.id, {MSG_MONITOR_REPLY, 0, sent, 0}, Parcel());
    }
    return true;
}

status_t RequestHandler::tap(Peer& from, const String16& name, int32_t snaplen,
                             MessageHeader* answer, unique_fd* monitorEnd) {
    if (snaplen < 0 || snaplen > kMaxSnapLength) return -EINVAL;
    const Holder* holder = liveHolder(name);
    const Peer* host = holder != nullptr ? transport_.peer(holder->owner) : nullptr;
    if (host == nullptr) return -ENOENT;
    uid_t uid = from.credentials.uid;
    bool granted = monitorGrantedTo(options_, from, host->credentials.uid, name);
    if (mayLog(uid)) {
        aerr << "zorlek-registry: " << (granted ? "granted" : "refused") << " a monitor of "
             << narrowForDisplay(name) << " to uid " << static_cast<uint32_t>(uid) << " (pid "
             << static_cast<int32_t>(from.credentials.pid) << ")" << endl;
    }
    if (!granted) return -EPERM;
    if ((host->features & PEER_TAP) == 0) return -EOPNOTSUPP;
    if (status_t bound = mayTap(from, *host); bound != OK) return bound;
    unique_fd hostEnd;
    if (status_t made = transport_.makeChannel(&hostEnd, monitorEnd); made != OK) return made;
    Parcel payload;
    payload.writeInt32(from.credentials.pid);
    payload.writeInt32(static_cast<int32_t>(uid));
    payload.writeInt32(static_cast<int32_t>(from.credentials.gid));
    payload.writeInt32(snaplen);
    ConnectionId hostId = host->id;
    bool other = uid != 0 && uid != host->credentials.uid;
    status_t sent = transport_.send(hostId, {MSG_TAP}, payload, std::move(hostEnd), uid);
    if (sent != OK) {
        monitorEnd->reset();
        return sent == -EPIPE ? -ENOENT : sent;
    }
    taps_.add(from.id, uid, hostId, other);
    setHost(answer, hostId);
    answer->object = holder->handle;
    return OK;
}

status_t RequestHandler::mayTap(const Peer& from, const Peer& host) {
    uid_t uid = from.credentials.uid;
    bool other = uid != 0 && uid != host.credentials.uid;
    if (taps_.atHost(host.id) >= options_.maxTapsPerHost) return -EMFILE;
    if (other && taps_.ofOthersAt(host.id) >= options_.maxTapsPerHost / 2) return -EMFILE;
    if (!trustedUser(uid, options_) && taps_.ofUser(uid) >= options_.maxTapsPerUser) {
        return -EDQUOT;
    }
    // Descriptors: as for a channel, both ends are charged to the one who asked.
    if (transport_.unreadFds(from.id) >= options_.maxUnreadLookups ||
        transport_.unreadFds(host.id, uid) >= options_.maxPendingChannelsPerUser ||
        transport_.unreadFds(host.id) >= options_.maxPendingChannels ||
        !transport_.mayHoldFds(uid, 2)) {
        return -EMFILE;
    }
    return OK;
}

}  // namespace zorlek::registry
