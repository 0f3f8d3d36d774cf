// SPDX-License-Identifier: Apache-2.0
// The bounds of the sample services.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zorlek {

// Listeners one sample.ticker serves at once; one more subscribe() fails with -EUSERS.
// Each costs the ticker a proxy, a notice and a tick every period; a client that
// subscribes in a loop cannot make it tick without end.
constexpr size_t kMaxTickerSubscribers = 256;
// The shortest and the longest period a subscribe() may ask for, in milliseconds; outside
// them it fails with -EINVAL.
constexpr int32_t kMinTickPeriodMs = 1;
constexpr int32_t kMaxTickPeriodMs = 60000;

}  // namespace zorlek
