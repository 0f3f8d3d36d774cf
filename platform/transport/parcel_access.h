// SPDX-License-Identifier: Apache-2.0
// The transport's access to a parcel's buffer, so that a payload is received straight
// into the parcel that will hold it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/ipc/parcel.h"

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
};

}  // namespace zorlek
