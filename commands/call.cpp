#include "commands/commands.h"

namespace zorlek {

void runCall(ToolState& /*state*/) {}

}  // namespace zorlek
