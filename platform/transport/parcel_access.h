// SPDX-License-Identifier: Apache-2.0
// The transport's access to a parcel's buffer, so that a payload is received straight
// into the parcel that will hold it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/base/parcel.h"

namespace zorlek {

struct ParcelAccess {
    // Makes `parcel` exactly `size` bytes long (new bytes are zero), rewinds it, clears
    // its status and returns its buffer; null (the parcel unchanged) when no room can be
    // had. `size` must not pass kMaxParcelSize, except in tests that forge an oversized
    // parcel.
    static uint8_t* resizeForReceive(Parcel& parcel, size_t size) {
        if (!parcel.bytes_.resize(size)) return nullptr;
        parcel.readPos_ = 0;
        parcel.status_ = OK;
        return parcel.bytes_.data();
    }

    // The object references `parcel` carries, for the channel that sends or receives it.
    static std::vector<ParcelObject>& objects(Parcel& parcel) { return parcel.objects_; }
    static const std::vector<ParcelObject>& objects(const Parcel& parcel) {
        return parcel.objects_;
    }
    // Cuts `parcel` to its first `size` bytes (no more than it holds).
    static void truncate(Parcel& parcel, size_t size) {
        if (size < parcel.bytes_.size()) parcel.bytes_.resize(size);
    }

    // The room `parcel` holds, used or not: what it costs in memory.
    static size_t capacity(const Parcel& parcel) { return parcel.bytes_.capacity(); }

    // Empties `parcel` and gives its room back when it holds more than `keep` bytes of it,
    // so that a buffer that once took a large payload does not stay large.
    static void trim(Parcel& parcel, size_t keep) {
        parcel.clear();
        if (parcel.bytes_.capacity() > keep) parcel.bytes_.release();
    }
};

}  // namespace zorlek
