// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdio>
#include <cstdlib>

namespace zorlek::fuzz {

// Ends the run as a finding when a property the target checks does not hold, naming it.
inline void check(bool holds, const char* property) {
    if (holds) return;
    std::fprintf(stderr, "fuzz check failed: %s\n", property);
    std::abort();
}

}  // namespace zorlek::fuzz
