// SPDX-License-Identifier: Apache-2.0
// A fuzz input read as a script: bytes taken from the front, one decision at a time. Past
// the end every read gives zeros, so that a script cut short still reads as a whole one.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zorlek::fuzz {

class FuzzInput {
  public:
    FuzzInput(const uint8_t* data, size_t size) : at_(data), left_(size) {}

    bool empty() const { return left_ == 0; }

    // The next byte; 0 past the end.
    uint8_t byte() {
        if (left_ == 0) return 0;
        --left_;
        return *at_++;
    }

    // The next `count` bytes (at most 4) as a little-endian number.
    uint32_t number(size_t count) {
        uint32_t value = 0;
        for (size_t i = 0; i < count && i < 4; ++i) value |= uint32_t{byte()} << (8 * i);
        return value;
    }

    // Up to `count` of the next bytes, in place; `*taken` says how many there were.
    const uint8_t* bytes(size_t count, size_t* taken) {
        const uint8_t* start = at_;
        *taken = count < left_ ? count : left_;
        at_ += *taken;
        left_ -= *taken;
        return start;
    }

    // One of the entries of `table`, chosen by the next byte.
    template <typename T, size_t N>
    const T& pick(const T (&table)[N]) {
        return table[byte() % N];
    }

  private:
    const uint8_t* at_;
    size_t left_;
};

}  // namespace zorlek::fuzz
