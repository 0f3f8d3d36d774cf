// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace zorlek {

// The result of a platform call: 0 for success, else a negative errno value.
using status_t = int32_t;

constexpr status_t OK = 0;

// The limit on the bytes of one parcel, request or reply.
constexpr size_t kMaxParcelSize = 1u << 20;

}  // namespace zorlek
