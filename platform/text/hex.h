// SPDX-License-Identifier: Apache-2.0
// The one way text is written in hexadecimal: the digit of a value's lowest four bits.
#pragma once

namespace zorlek {

// '0'-'9', 'a'-'f' for the low four bits of `value`.
constexpr char lowerHexDigit(unsigned value) {
    return "0123456789abcdef"[value & 0xF];
}
// '0'-'9', 'A'-'F' for the low four bits of `value`.
constexpr char upperHexDigit(unsigned value) {
    return "0123456789ABCDEF"[value & 0xF];
}

}  // namespace zorlek
