// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "platform/base/limits.h"

namespace zorlek {

// The result of a platform call: 0 for success, else a negative errno value.
using status_t = int32_t;

constexpr status_t OK = 0;

}  // namespace zorlek
