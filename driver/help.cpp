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

// One line of the help: "   WORD ARGUMENTS", padded to the help column (at least two
// spaces), then the help.
void writeRow(const char* word, const char* arguments, const char* help) {
    char left[160];
    int used = std::snprintf(left, sizeof left, "   %s%s%s", word, *arguments != '\0' ? " " : "",
                             arguments);
    aout << left << "  ";
    for (used += 2; used < kHelpColumn; ++used) aout << " ";
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
