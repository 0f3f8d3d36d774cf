// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <vector>

namespace zorlek {

// The typed vector in which the registry hands out its listing: read by size() and by
// position with operator[].
template <typename T>
using Vector = std::vector<T>;

}  // namespace zorlek
