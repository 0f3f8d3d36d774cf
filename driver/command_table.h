// SPDX-License-Identifier: Apache-2.0
// The tool's commands, one row each: the word that names it, the arguments it takes, its
// line in `zorlek help`, and its routine. The dispatch and the help text read this table,
// so that a command is added in one place (and in the manual page and the completion,
// which a test holds to the table).
#pragma once

#include <cstddef>
#include <span>

#include "commands/tool_state.h"

namespace zorlek {

struct CommandInfo {
    // Compared whole and case-sensitively with the word at the cursor.
    const char* word;
    // The arguments after the word, as the help text shows them; "" for none.
    const char* arguments;
    // One line of help, at most 44 characters, so that a row fits 80 columns.
    const char* help;
    // Runs the command with the cursor on its word.
    void (*run)(ToolState& state);
    // False for the commands that do not go through the tool's registry connection (help
    // and version need none; wait connects itself, and waits for a registry to come):
    // the tool does not connect for them.
    bool needsRegistry;
};

// Every command, in the order the dispatch tries them: list, check and call first.
std::span<const CommandInfo> commandTable();

// The row whose word is `word`; null when none is.
const CommandInfo* findCommand(const char* word);

// The environment variables the tool reads (through the IPC library), with a line of help
// each, for `zorlek help`.
struct EnvironmentInfo {
    const char* name;
    const char* help;
};
std::span<const EnvironmentInfo> environmentTable();

}  // namespace zorlek
