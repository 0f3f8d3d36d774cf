#pragma once

#include <cstddef>

#include "commands/tool_state.h"

namespace zorlek {

// The commands the driver dispatches to. Each starts with the cursor on its command
// word, writes its results to aout and its error lines to aerr, and reports back only
// through state.exitStatus and state.usageRequested.

// check SERVICE: prints whether SERVICE is registered.
void runCheck(ToolState& state);
// list: prints every registered name with its object's interface descriptor. A listing
// the registry cuts short is an error line and EXIT_NO_SERVICE_MANAGER.
void runList(ToolState& state);
// The most names `list` has in flight at once (looked up, descriptor asked, answer not
// yet printed): the bound on the objects, and so the channels, it holds.
constexpr size_t kListWindow = 64;
// call SERVICE CODE [typed arguments]: sends one transaction and prints the reply's dump.
void runCall(ToolState& state);

}  // namespace zorlek
