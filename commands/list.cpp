#include "commands/commands.h"

namespace zorlek {

void runList(ToolState& /*state*/) {}

}  // namespace zorlek
