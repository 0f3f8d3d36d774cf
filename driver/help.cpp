// SPDX-License-Identifier: Apache-2.0
#include "driver/help.h"

#include <cstdio>

#include "driver/command_table.h"
#include "driver/usage.h"
#include "platform/ipc.h"
#include "platform/text.h"

namespace zorlek {
namespace {

// Where the help lines start, unless the left column is wider.
constexpr int kHelpColumn = 36;

// One row of the help: "   WORD ARGUMENTS", then the help from its column on (on a line
// of its own when the left part reaches the column).
void writeRow(const char* word, const char* arguments, const char* help) {
    char left[160];
    int used = std::snprintf(left, sizeof left, "   %s%s%s", word, *arguments != '\0' ? " " : "",
                             arguments);
    aout << left;
    if (used + 2 > kHelpColumn) {
        aout << "\n";
        used = 0;
    }
    for (; used < kHelpColumn; ++used) aout << " ";
    aout << help << "\n";
}

}  // namespace

void runHelp(ToolState& /*state*/) {
    printUsage();
    aout << "Commands:\n";
    for (const CommandInfo& command : commandTable()) {
        writeRow(command.word, command.arguments, command.help);
    }
    aout << "Environment:\n";
    for (const EnvironmentInfo& variable : environmentTable()) {
        writeRow(variable.name, "", variable.help);
    }
}

void runVersion(ToolState& /*state*/) {
    aout << "zorlek " << ZORLEK_VERSION << " (protocol " << static_cast<uint32_t>(protocolVersion())
         << ")" << endl;
}

}  // namespace zorlek
