// SPDX-License-Identifier: Apache-2.0
#include "commands/integer.h"

namespace zorlek {

std::optional<int32_t> parseInteger32(std::string_view text) {
    size_t at = 0;
    size_t end = text.size();
    while (at < end && (text[at] == ' ' || (text[at] >= '\t' && text[at] <= '\r'))) ++at;
    bool negative = false;
    if (at < end && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }
    // The largest magnitude either sign allows; once past it the value is out of range
    // whatever follows, so accumulation stops growing there and cannot overflow.
    constexpr uint64_t kLimit = 4294967295u;
    uint64_t magnitude = 0;
    for (; at < end && text[at] >= '0' && text[at] <= '9'; ++at) {
        magnitude = magnitude * 10 + static_cast<uint64_t>(text[at] - '0');
        if (magnitude > kLimit) magnitude = kLimit + 1;
    }
    if (negative) {
        if (magnitude > 2147483648u) return std::nullopt;
        return static_cast<int32_t>(static_cast<uint32_t>(0u - static_cast<uint32_t>(magnitude)));
    }
    if (magnitude > kLimit) return std::nullopt;
    return static_cast<int32_t>(static_cast<uint32_t>(magnitude));
}

}  // namespace zorlek
