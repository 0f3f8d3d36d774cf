// SPDX-License-Identifier: Apache-2.0
// The objects of objects_fuzz, and the references its raw peers write: a host's hub that
// keeps, hands back, makes and calls back objects; a client's listener that answers calls
// back (and calls the hub again from inside one); and the table of references a peer puts
// after a parcel, well formed or spoiled as the input says.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/input.h"
#include "platform/base/little_endian.h"
#include "platform/hosting/local_object.h"
#include "platform/transport/wire.h"

namespace zorlek::fuzz {

enum HubCode : uint32_t { kKeep = 1, kEcho, kProbe, kTick, kForget, kWatch, kMake, kDeep };
enum ListenerCode : uint32_t { kPing = 1, kTicked, kDeeper };
// Of each list the hub keeps, at most this many.
constexpr size_t kHubKeeps = 8;

// Counts the notices told.
struct Counted : DeathRecipient {
    explicit Counted(std::atomic<int>* count) : count_(count) {}
    void onGone() override { ++*count_; }
    std::atomic<int>* count_;
};

// An object the hub makes and hands out: it holds nothing.
struct Session : LocalObject {
    Session() : LocalObject(String16("fuzz.ISession")) {}
};

// The host's published object, served on the host's thread only.
class Hub : public LocalObject {
  public:
    Hub() : LocalObject(String16("fuzz.IHub")) {}
    status_t onTransact(uint32_t code, Parcel& data, Parcel* reply, uint32_t flags) override {
        if (code < kKeep || code > kDeep) return LocalObject::onTransact(code, data, reply, flags);
        sp<IBinder> object;
        int32_t n = 0;
        if (status_t status = data.readStrongBinder(&object); status != OK) return status;
        data.readInt32(&n);
        switch (code) {
            case kKeep:
                if (!object) return -EINVAL;
                if (kept.size() >= kHubKeeps) kept.erase(kept.begin());
                kept.push_back(object);
                return reply->writeInt32(static_cast<int32_t>(kept.size()));
            case kEcho:
                return reply->writeStrongBinder(object);
            case kProbe:
            case kDeep: {
                if (!object) return -EINVAL;
                Parcel request, answer;
                request.writeInt32(n);
                status_t status =
                    object->sendTransaction(code == kProbe ? kPing : kDeeper, request, &answer, 0);
                int32_t got = INT32_MIN;
                answer.readInt32(&got);
                reply->writeInt32(status);
                return reply->writeInt32(got);
            }
            case kTick:
                for (const sp<IBinder>& each : kept) {
                    Parcel tick;
                    tick.writeInt32(n);
                    each->sendTransaction(kTicked, tick, nullptr, FLAG_ONEWAY);
                }
                return OK;
            case kForget:
                kept.clear();
                return OK;
            case kWatch:
                // Watched proxies stay, so that every notice asked for is due at the end.
                if (!object || watched.size() >= kHubKeeps) return -EINVAL;
                if (object->notifyWhenGone(make<Counted>(&told)) != OK) return -EINVAL;
                watched.push_back(object);
                return OK;
            default:  // kMake
                if (made.size() >= kHubKeeps) return -EDQUOT;
                made.push_back(make<Session>());
                return reply->writeStrongBinder(made.back());
        }
    }

    std::vector<sp<IBinder>> kept;
    std::vector<sp<IBinder>> watched;
    std::vector<sp<IBinder>> made;
    std::atomic<int> told{0};
};

// A client's object: answers pings, counts ticks, calls the hub again when asked to go deeper.
class Listener : public LocalObject {
  public:
    explicit Listener(const sp<IBinder>* hub)
        : LocalObject(String16("fuzz.IListener")), hub_(hub) {}
    status_t onTransact(uint32_t code, Parcel& data, Parcel* reply, uint32_t flags) override {
        int32_t n = 0;
        data.readInt32(&n);
        if (code == kTicked) return ++ticks, OK;
        if (code == kPing) return reply->writeInt32(n + 1);
        if (code != kDeeper) return LocalObject::onTransact(code, data, reply, flags);
        if (!*hub_) return -EPIPE;
        Parcel request, answer;
        request.writeStrongBinder(sp<IBinder>(this));
        request.writeInt32(n + 1);
        status_t status = (*hub_)->sendTransaction(kDeep, request, &answer, 0);
        return status != OK ? status : reply->writeInt32(n);
    }
    int ticks = 0;

  private:
    const sp<IBinder>* hub_;  // the scene's proxy of the hub, reset when its channel goes
};

// Writes a parcel of `objects` references (kind, handle) at offsets 0, 8, ... and one int32
// `n` after them, then the table (offsets, count, parcel size), spoiled as `spoil` says:
// 0 well formed; 1 an offset not aligned; 2 offsets that overlap; 3 an offset past the
// parcel; 4 more references than the bound; 5 a parcel size that lies; 6 a table cut short.
inline std::vector<uint8_t> referenceTable(const std::vector<std::pair<uint32_t, uint32_t>>& refs,
                                           int32_t n, uint8_t spoil) {
    uint32_t count = static_cast<uint32_t>(refs.size());
    uint32_t parcel = 8 * count + 4;
    std::vector<uint8_t> out(parcel + 4 * count + 8);
    uint8_t* at = out.data();
    for (uint32_t i = 0; i < count; ++i) {
        storeLe32(at + 8 * i, refs[i].first);
        storeLe32(at + 8 * i + 4, refs[i].second);
        storeLe32(at + parcel + 4 * i, 8 * i);
    }
    storeLe32(at + 8 * count, static_cast<uint32_t>(n));
    uint32_t last = count > 0 ? parcel + 4 * (count - 1) : parcel;
    switch (spoil % 7) {
        case 1:
            storeLe32(at + last, 8 * (count - 1) + 2);
            break;
        case 2:
            if (count > 1) storeLe32(at + last, 8 * (count - 2) + 4);
            break;
        case 3:
            storeLe32(at + last, parcel);
            break;
        case 4:
            count = kMaxObjectsPerParcel + 1;
            break;
        case 5:
            parcel += 4;
            break;
        case 6:
            out.resize(out.size() - 4);
            return out;
        default:
            break;
    }
    storeLe32(at + out.size() - 8, count);
    storeLe32(at + out.size() - 4, parcel);
    return out;
}

// The references (kind, handle) a MSG_OBJ_ payload holds; false when its table does not
// hold together (what a host or client sends always does).
inline bool readReferences(const Parcel& payload,
                           std::vector<std::pair<uint32_t, uint32_t>>* refs) {
    size_t size = payload.dataSize();
    const uint8_t* bytes = payload.data();
    if (size < 16) return false;
    uint32_t count = loadLe32(bytes + size - 8), parcel = loadLe32(bytes + size - 4);
    if (count == 0 || count > kMaxObjectsPerParcel || parcel > size - 8 ||
        size - 8 - parcel != 4 * size_t{count}) {
        return false;
    }
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t offset = loadLe32(bytes + parcel + 4 * i);
        if (offset % 4 != 0 || offset + 8 > parcel) return false;
        refs->emplace_back(loadLe32(bytes + offset), loadLe32(bytes + offset + 4));
    }
    return true;
}

}  // namespace zorlek::fuzz
