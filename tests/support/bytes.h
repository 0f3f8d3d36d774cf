// SPDX-License-Identifier: Apache-2.0
// Bytes as tests write them by hand, apart from the code under test: parcel items,
// message headers and whole messages, and the bytes of a parcel.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "platform/base/parcel.h"
#include "platform/transport/wire.h"

namespace zorlek::test {

using Bytes = std::vector<uint8_t>;

// The concatenation of `parts`.
inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

// Parcel items.
inline Bytes i32(uint32_t value) {
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
}

inline Bytes s16(std::u16string_view text) {
    Bytes out = i32(static_cast<uint32_t>(text.size()));
    for (char16_t unit : text) {
        out.push_back(static_cast<uint8_t>(unit));
        out.push_back(static_cast<uint8_t>(unit >> 8));
    }
    out.push_back(0);
    out.push_back(0);
    while (out.size() % 4 != 0) out.push_back(0);
    return out;
}

inline Bytes nullRef() {
    return cat({i32(0), i32(0)});
}

// A message header, and a whole message with `payload`.
inline Bytes header(uint32_t type, uint32_t code, int32_t value, uint32_t size, uint32_t serial = 0,
                    uint32_t object = 0) {
    return cat({i32(type), i32(code), i32(static_cast<uint32_t>(value)), i32(size), i32(serial),
                i32(object)});
}

inline Bytes message(uint32_t type, const Bytes& payload, uint32_t code = 0, int32_t value = 0) {
    return cat({header(type, code, value, static_cast<uint32_t>(payload.size())), payload});
}

// A registration of the name in `namePayload` for the host's object `handle`.
inline Bytes registration(const Bytes& namePayload, uint32_t handle = 1) {
    return cat({header(MSG_REGISTER, 0, 0, static_cast<uint32_t>(namePayload.size()), 0, handle),
                namePayload});
}

// What a parcel holds.
inline Bytes bytesOf(const uint8_t* data, size_t size) {
    return Bytes(data, data + size);
}

inline Bytes bytesOf(const Parcel& parcel) {
    return bytesOf(parcel.data(), parcel.dataSize());
}

}  // namespace zorlek::test
