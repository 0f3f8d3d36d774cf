// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>

namespace zorlek {

// Stores `value` at `at` as 4 little-endian bytes (the byte order of everything on the
// wire and in parcels, whatever the host's).
inline void storeLe32(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
    at[2] = static_cast<uint8_t>(value >> 16);
    at[3] = static_cast<uint8_t>(value >> 24);
}

// Reads 4 little-endian bytes at `at`; the caller has checked that they are there.
inline uint32_t loadLe32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
           static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
}

}  // namespace zorlek
