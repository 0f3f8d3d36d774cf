#pragma once

#include "commands/tool_state.h"

namespace zorlek {

// The commands the driver dispatches to. Each starts with the cursor on its command
// word, writes its results to aout and its error lines to aerr, and reports back only
// through state.exitStatus and state.usageRequested.

// check SERVICE: prints whether SERVICE is registered.
void runCheck(ToolState& state);
// list: prints every registered name with its object's interface descriptor.
void runList(ToolState& state);
// call SERVICE CODE [typed arguments]: sends one transaction and prints the reply's dump.
void runCall(ToolState& state);

}  // namespace zorlek
