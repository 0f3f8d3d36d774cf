// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "commands/tool_state.h"
#include "driver/command_table.h"

namespace zorlek {

// Reads the options (-h, -?) at the front of the arguments without reordering them,
// stopping at the first non-option or after "--". Any option, known or not, sets
// state.usageRequested; the parser reports an unknown one itself on stderr. Leaves
// state.cursor on the first argument after the options.
void parseOptions(ToolState& state);

// Reads what follows `command`'s word (the cursor is on it) as its row allows: its
// options, up to the first word that does not begin with '-' or past "--", into
// state.options; then checks the count of arguments left and that no service name
// begins with '-'. Leaves the cursor on the first argument and returns true; else writes
// one error line, marks a usage error and returns false.
bool readCommandLine(const CommandInfo& command, ToolState& state);

}  // namespace zorlek
