// SPDX-License-Identifier: Apache-2.0
#include "platform/transport/channel_end.h"

#include <cstring>
#include <utility>

#include "platform/base/call_context.h"
#include "platform/base/deadline.h"
#include "platform/base/little_endian.h"
#include "platform/transport/object_proxy.h"
#include "platform/transport/parcel_access.h"

namespace zorlek {
namespace {

// The uid the kernel gives for credentials it cannot name here (none were attached, or the
// sender's user has no id in this user namespace): its overflow uid, 65534 unless changed.
constexpr uid_t kUnnamedUid = 65534;
constexpr uint32_t kKindSenders = 1;
constexpr uint32_t kKindReceivers = 2;

// A call that came with no credentials (over a channel made without them: none at all, or
// the kernel's pid 0 with its overflow uid for none) is served as nobody: refused. A sender
// in a PID namespace this process cannot see comes with pid 0 and its uid: it is served,
// its pid not known here.
bool withoutCredentials(const ucred& sender) {
    return sender.pid == 0 && (sender.uid == static_cast<uid_t>(-1) || sender.uid == kUnnamedUid);
}

// Lets go of the objects of a call's request and reply once it is served: the rooms they
// are read into and built in stay for the next call, and must not keep a peer's object (or
// a proxy that keeps this very end) alive until then.
struct ObjectsDropped {
    Parcel& request;
    Parcel& reply;
    ~ObjectsDropped() {
        ParcelAccess::objects(request).clear();
        ParcelAccess::objects(reply).clear();
    }
};

}  // namespace

ChannelEnd::~ChannelEnd() = default;

status_t ChannelEnd::wordsOf(const sp<IBinder>& object, bool count, uint32_t* kind,
                             uint32_t* handle, size_t* fresh) {
    IBinder* raw = object.get();
    if (ObjectProxy* proxy = raw->remoteObject()) {
        // The peer's own object goes back as its handle; another peer's cannot travel here.
        if (&proxy->end() != this) return -EXDEV;
        *kind = kKindReceivers;
        *handle = proxy->handle();
        return OK;
    }
    if (raw->localObject() == nullptr) return -EINVAL;
    *kind = kKindSenders;
    // A registered object is reachable by its registered handle anyway: nothing to count.
    *handle = published_ != nullptr ? published_->handleOf(raw) : 0;
    if (*handle != 0) return OK;
    auto found = passedHandles_.find(raw);
    if (found != passedHandles_.end()) {
        *handle = found->second;
        if (count) ++passed_[*handle].count;
        return OK;
    }
    if (!count) {
        ++*fresh;
        return OK;
    }
    *handle = nextHandle_++;
    passed_.emplace(*handle, Passed{object, 1});
    passedHandles_.emplace(raw, *handle);
    return OK;
}

status_t ChannelEnd::encode(const Parcel& data, uint32_t plain, uint32_t* type, Parcel* wire) {
    *type = plain;
    const std::vector<ParcelObject>& objects = ParcelAccess::objects(data);
    if (objects.empty()) return OK;
    if ((peerFeatures_ & PEER_OBJECTS) == 0) return -EPROTONOSUPPORT;
    // Every object is checked before any is counted: a refused parcel changes nothing.
    size_t fresh = 0;
    uint32_t kind, handle;
    for (const ParcelObject& entry : objects) {
        status_t status = wordsOf(entry.object, false, &kind, &handle, &fresh);
        if (status != OK) return status;
    }
    if (passed_.size() + fresh > kMaxObjectsPerChannel ||
        fresh > uint64_t{UINT32_MAX} - nextHandle_) {
        return -EDQUOT;
    }
    size_t size = data.dataSize();
    size_t total = size + 4 * objects.size() + 8;
    if (total > kMaxParcelSize) return -EMSGSIZE;
    uint8_t* at = ParcelAccess::resizeForReceive(*wire, total);
    if (at == nullptr) return -ENOMEM;
    std::memcpy(at, data.data(), size);
    uint8_t* table = at + size;
    for (const ParcelObject& entry : objects) {
        wordsOf(entry.object, true, &kind, &handle, &fresh);
        storeLe32(at + entry.offset, kind);
        storeLe32(at + entry.offset + 4, handle);
        storeLe32(table, entry.offset);
        table += 4;
    }
    storeLe32(table, static_cast<uint32_t>(objects.size()));
    storeLe32(table + 4, static_cast<uint32_t>(size));
    *type = plain == MSG_TRANSACT ? MSG_OBJ_TRANSACT : MSG_OBJ_REPLY;
    return OK;
}

status_t ChannelEnd::resolve(uint32_t kind, uint32_t handle, sp<IBinder>* out) {
    if (kind == kKindReceivers) {
        if (handle >= kFirstPassedHandle) {
            auto found = passed_.find(handle);
            if (found == passed_.end()) return -EBADMSG;
            *out = found->second.object;
            return OK;
        }
        IBinder* registered = published_ != nullptr ? published_->find(handle) : nullptr;
        if (registered == nullptr) return -EBADMSG;
        *out = registered;
        return OK;
    }
    if (kind != kKindSenders || handle == 0) return -EBADMSG;
    if (handle < kFirstPassedHandle) {
        // Only a host has registered objects: a client's end (none of its own) hears of its
        // host's, a host's end never of its client's.
        if (published_ != nullptr) return -EBADMSG;
        *out = make<ObjectProxy>(sp<ChannelEnd>(this), handle);
        return OK;
    }
    auto found = held_.find(handle);
    if (found != held_.end()) {
        if (found->second.count == UINT32_MAX) return -EBADMSG;
        ++found->second.count;
        *out = found->second.proxy;
        return OK;
    }
    if (held_.size() >= kMaxObjectsPerChannel) return -EBADMSG;
    sp<ObjectProxy> proxy = make<ObjectProxy>(sp<ChannelEnd>(this), handle);
    held_.emplace(handle, Held{proxy.get(), 1});
    *out = std::move(proxy);
    return OK;
}

status_t ChannelEnd::decode(Message& message) {
    Parcel& payload = message.payload;
    size_t size = payload.dataSize();
    if (size < 16) return -EBADMSG;
    const uint8_t* bytes = payload.data();
    uint32_t count = loadLe32(bytes + size - 8);
    uint32_t parcelSize = loadLe32(bytes + size - 4);
    if (count == 0 || count > kMaxObjectsPerParcel || parcelSize % 4 != 0 || parcelSize < 8 ||
        parcelSize > size - 8 || size - 8 - parcelSize != 4 * size_t{count}) {
        return -EBADMSG;
    }
    std::vector<ParcelObject> objects;
    objects.reserve(count);
    uint32_t free = 0;  // the first byte no reference before covers
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t offset = loadLe32(bytes + parcelSize + 4 * i);
        if (offset % 4 != 0 || offset < free || offset > parcelSize - 8) return -EBADMSG;
        free = offset + 8;
        sp<IBinder> object;
        status_t status = resolve(loadLe32(bytes + offset), loadLe32(bytes + offset + 4), &object);
        if (status != OK) return status;
        objects.push_back({offset, std::move(object)});
    }
    ParcelAccess::truncate(payload, parcelSize);
    ParcelAccess::objects(payload) = std::move(objects);
    message.header.type = message.header.type == MSG_OBJ_TRANSACT ? MSG_TRANSACT : MSG_REPLY;
    message.header.size = parcelSize;
    return OK;
}

void ChannelEnd::released(const MessageHeader& header) {
    auto found = passed_.find(header.object);
    // A release of what was never passed, or released already: nothing is held for it.
    if (found == passed_.end()) return;
    if (header.code < found->second.count) {
        found->second.count -= header.code;
        return;
    }
    // The object may go with it, and its destructor may let go of proxies of this end.
    sp<IBinder> object = std::move(found->second.object);
    passedHandles_.erase(object.get());
    passed_.erase(found);
}

void ChannelEnd::serve(const MessageHeader& header, Parcel& request, const ucred& sender,
                       Parcel& room) {
    uint32_t flags = static_cast<uint32_t>(header.value);
    // A call back served while this thread waits has a reply of its own.
    Parcel nested;
    Parcel& reply = callDepth() == 0 ? room : nested;
    reply.clear();
    sp<IBinder> object;
    ObjectsDropped dropped{request, reply};
    if (header.object >= kFirstPassedHandle) {
        auto found = passed_.find(header.object);
        if (found != passed_.end()) object = found->second.object;
    } else if (published_ != nullptr) {
        object = published_->find(header.object);
    }
    CallContext context;
    context.caller = sender;
    int64_t beganNs = observer_ != nullptr && observer_->watching() ? monotonicNs() : 0;
    // A handle never given out: the call is malformed.
    status_t status = -EBADMSG;
    if (withoutCredentials(sender)) {
        status = -EACCES;
    } else if (callDepth() >= kMaxCallDepth) {
        status = -EDEADLK;
    } else if (object) {
        CurrentCall current(&context);
        status = object->onTransact(header.code, request, &reply, flags);
    }
    if (observer_ != nullptr && observer_->watching()) {
        observer_->told(false, header, sender, request, reply, status, beganNs);
    }
    if ((flags & FLAG_ONEWAY) != 0 || context.replyWithheld) return;
    // A reply whose building failed is never sent, neither as a success nor cut short.
    if (reply.status() != OK) status = reply.status();
    uint32_t type = MSG_REPLY;
    if (status == OK) status = encode(reply, MSG_REPLY, &type, &wire_);
    if (status != OK) reply.clear();
    MessageHeader answer{type, header.code, status, 0, header.serial, header.object};
    status_t sent = sendMessage(answer, type == MSG_REPLY ? reply : wire_);
    ParcelAccess::trim(wire_, kKeptReplyRoom);
    if (sent != -ENOMEM) return;
    // No room to queue it: the caller learns that memory ran out, with an empty reply.
    answer = {MSG_REPLY, header.code, -ENOMEM, 0, header.serial, header.object};
    if (sendMessage(answer, empty_) == -ENOMEM) broken(-ENOMEM);
}

void ChannelEnd::proxyGone(const IBinder* proxy, uint32_t handle) {
    for (size_t i = 0; i < notices_.size();) {
        if (notices_[i].proxy == proxy) {
            notices_[i] = std::move(notices_.back());
            notices_.pop_back();
        } else {
            ++i;
        }
    }
    auto found = held_.find(handle);
    if (found == held_.end() || found->second.proxy != proxy) return;
    uint32_t count = found->second.count;
    held_.erase(found);
    if (alive()) sendMessage({MSG_OBJ_RELEASE, count, 0, 0, 0, handle}, empty_);
}

status_t ChannelEnd::addNotice(const IBinder* proxy, const sp<DeathRecipient>& recipient) {
    if (!recipient) return -EINVAL;
    if (!alive()) {
        recipient->onGone();
        return OK;
    }
    if (notices_.size() >= kMaxObjectsPerChannel) return -EDQUOT;
    notices_.push_back({proxy, recipient});
    return OK;
}

std::vector<sp<DeathRecipient>> ChannelEnd::endObjects() {
    // Let go of last: an object's destructor may drop proxies of this very end.
    std::unordered_map<uint32_t, Passed> passed = std::move(passed_);
    passed_.clear();
    passedHandles_.clear();
    held_.clear();
    std::vector<sp<DeathRecipient>> due;
    due.reserve(notices_.size());
    for (Notice& notice : notices_) due.push_back(std::move(notice.recipient));
    notices_.clear();
    return due;
}

}  // namespace zorlek
