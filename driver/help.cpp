// SPDX-License-Identifier: Apache-2.0
#include "driver/help.h"

#include <cstdio>
#include <cstring>

#include "driver/command_table.h"
#include "driver/usage.h"
#include "platform/ipc.h"
#include "platform/text.h"

namespace zorlek {
namespace {

// Where the help lines start, unless the left column is wider.
constexpr int kHelpColumn = 36;
// The widest line the help writes: a terminal's width.
constexpr int kHelpWidth = 80;

// Appends `text` to the `size` bytes of `left` as far as they fit; the new size.
int append(char (&left)[160], int size, const char* text) {
    int room = static_cast<int>(sizeof left) - size;
    int wrote = std::snprintf(left + size, static_cast<size_t>(room), "%s", text);
    return wrote < room ? size + wrote : size + room - 1;
}

// Appends " PIECE" to the line in `left`; a piece that would pass kHelpWidth first ends the
// line and goes on the next, under the first option (`indent` columns in).
int appendPiece(char (&left)[160], int used, const char* piece, int indent) {
    int length = static_cast<int>(std::strlen(piece));
    if (used + 1 + length > kHelpWidth && used > indent) {
        aout << left << "\n";
        used = 0;
        while (used < indent - 1) used = append(left, used, " ");
    }
    return append(left, append(left, used, " "), piece);
}

// One row of the help: "   WORD [OPTION VALUE]... ARGUMENTS", its options on more lines
// when they do not fit one, then the help from its column on (on a line of its own when the
// left part reaches the column).
void writeRow(const char* word, std::span<const OptionInfo> options, const char* arguments,
              const char* help) {
    char left[160];
    int used = append(left, 0, "   ");
    used = append(left, used, word);
    const int indent = used + 1;
    for (const OptionInfo& option : options) {
        char piece[64];
        std::snprintf(piece, sizeof piece, "[%s%s%s]", option.name, option.value ? " " : "",
                      option.value ? option.value : "");
        used = appendPiece(left, used, piece, indent);
    }
    if (*arguments != '\0') used = appendPiece(left, used, arguments, indent);
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
