// SPDX-License-Identifier: Apache-2.0
#include "driver/options.h"

#include <unistd.h>

namespace zorlek {

void parseOptions(ToolState& state) {
    // glibc keeps hidden state between calls; 0 makes it start afresh, so the driver can
    // run more than once in one process (in-process tests).
    optind = 0;
    // '+' stops at the first non-option: arguments are never reordered, so a negative
    // number after "i32" is never taken for an option.
    while (getopt(state.argc, state.argv, "+h?") != -1) state.usageRequested = true;
    state.cursor = optind;
}

}  // namespace zorlek
