#include "commands/commands.h"

namespace zorlek {

void runCheck(ToolState& /*state*/) {}

}  // namespace zorlek
