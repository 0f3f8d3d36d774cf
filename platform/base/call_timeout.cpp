// SPDX-License-Identifier: Apache-2.0
#include "platform/base/call_timeout.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>

namespace zorlek {

int parseCallTimeoutMs(const char* text) {
    if (text == nullptr || *text == '\0') return kDefaultCallTimeoutMs;
    int64_t value = 0;
    for (const char* at = text; *at != '\0'; ++at) {
        if (*at < '0' || *at > '9') return kDefaultCallTimeoutMs;
        value = value * 10 + (*at - '0');
        // Stop before the accumulator itself could overflow on a long digit string.
        if (value > INT32_MAX) return kDefaultCallTimeoutMs;
    }
    return value >= 1 ? static_cast<int>(value) : kDefaultCallTimeoutMs;
}

int callTimeoutMs() {
    // Zero until the first call reads the variable. Initialised as a constant, so that no
    // guard of the C++ runtime is needed (the tool carries none of its exception
    // machinery); threads asking at once agree on the first value stored.
    static std::atomic<int> timeout{0};
    int value = timeout.load(std::memory_order_relaxed);
    if (value != 0) return value;
    int read = parseCallTimeoutMs(std::getenv("ZORLEK_CALL_TIMEOUT_MS"));
    return timeout.compare_exchange_strong(value, read, std::memory_order_relaxed) ? read : value;
}

}  // namespace zorlek
