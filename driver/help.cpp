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

// Appends `text` to the `size` bytes of `left` as far as they fit; the new size.
int append(char (&left)[160], int size, const char* text) {
    int room = static_cast<int>(sizeof left) - size;
    int wrote = std::snprintf(left + size, static_cast<size_t>(room), "%s", text);
    return wrote < room ? size + wrote : size + room - 1;
}

// One row of the help: "   WORD [OPTION VALUE]... ARGUMENTS", then the help from its
// column on (on a line of its own when the left part reaches the column).
void writeRow(const char* word, std::span<const OptionInfo> options, const char* arguments,
              const char* help) {
    char left[160];
    int used = append(left, 0, "   ");
    used = append(left, used, word);
    for (const OptionInfo& option : options) {
        used = append(left, used, " [");
        used = append(left, used, option.name);
        if (option.value != nullptr) used = append(left, append(left, used, " "), option.value);
        used = append(left, used, "]");
    }
    if (*arguments != '\0') used = append(left, append(left, used, " "), arguments);
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
        if (!command.hidden)
            writeRow(command.word, command.options, command.arguments, command.help);
    }
    aout << "Environment:\n";
    for (const EnvironmentInfo& variable : environmentTable()) {
        writeRow(variable.name, {}, "", variable.help);
    }
}

void runVersion(ToolState& /*state*/) {
    aout << "zorlek " << ZORLEK_VERSION << " (protocol " << static_cast<uint32_t>(protocolVersion())
         << ")" << endl;
}

}  // namespace zorlek
