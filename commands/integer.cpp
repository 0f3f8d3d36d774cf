// SPDX-License-Identifier: Apache-2.0
#include "commands/integer.h"

#include <climits>

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

// SECONDS as "--timeout" takes it: decimal digits, with an optional fraction after a '.',
// of at most INT_MAX milliseconds (digits past the thousandths are dropped).
std::optional<int> parseSeconds(const char* text) {
    int64_t ms = 0;
    const char* at = text;
    if (*at < '0' || *at > '9') return std::nullopt;
    for (; *at >= '0' && *at <= '9'; ++at) {
        ms = ms * 10 + (*at - '0') * 1000;
        if (ms > INT_MAX) return std::nullopt;
    }
    if (*at == '.') {
        ++at;
        if (*at < '0' || *at > '9') return std::nullopt;
        for (int scale = 100; *at >= '0' && *at <= '9'; ++at, scale /= 10)
            ms += (*at - '0') * scale;
        if (ms > INT_MAX) return std::nullopt;
    }
    if (*at != '\0') return std::nullopt;
    return static_cast<int>(ms);
}

std::optional<uint64_t> parseDecimal(const char* text, uint64_t most) {
    uint64_t value = 0;
    const char* at = text;
    if (*at < '0' || *at > '9') return std::nullopt;
    for (; *at >= '0' && *at <= '9'; ++at) {
        value = value * 10 + static_cast<uint64_t>(*at - '0');
        if (value > most) return std::nullopt;
    }
    if (*at != '\0') return std::nullopt;
    return value;
}

}  // namespace zorlek
