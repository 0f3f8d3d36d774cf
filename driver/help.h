// SPDX-License-Identifier: Apache-2.0
// The commands that tell about the tool itself; they work with no registry running.
#pragma once

#include "commands/tool_state.h"

namespace zorlek {

// help: the usage text, then one line for each command and each environment variable the
// tool reads.
void runHelp(ToolState& state);

// version: the tool's version and the registry protocol version it speaks.
void runVersion(ToolState& state);

}  // namespace zorlek
