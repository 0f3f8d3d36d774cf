// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "commands/tool_state.h"

namespace zorlek {

// Reads the options (-h, -?) at the front of the arguments without reordering them,
// stopping at the first non-option or after "--". Any option, known or not, sets
// state.usageRequested; the parser reports an unknown one itself on stderr. Leaves
// state.cursor on the first argument after the options.
void parseOptions(ToolState& state);

}  // namespace zorlek
