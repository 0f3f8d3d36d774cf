// SPDX-License-Identifier: Apache-2.0
// The tool's commands, one row each: the word that names it, its options, the least and
// most arguments it takes, its line in `zorlek help`, and its routine. The dispatch, the
// option reader and the help text read this table, so that a command is added in one
// place (and in the manual page and the completion, which a test holds to the table).
#pragma once

#include <cstddef>
#include <span>

#include "commands/tool_state.h"

namespace zorlek {

// An option a command takes between its word and its arguments.
struct OptionInfo {
    // The word, "--" and a name ("--timeout").
    const char* name;
    // What follows it, as the help text shows it ("SECONDS"); null for an option that
    // takes nothing.
    const char* value;
    // The value in the error line for a missing one ("timeout": "No timeout specified
    // for --timeout of wait"); null when `value` is.
    const char* valueNoun;
};

// A command's arguments may be any number.
constexpr int kAnyCount = -1;
// Every argument of the command is a service name.
constexpr int kAllNames = -1;

struct CommandInfo {
    // Compared whole and case-sensitively with the word at the cursor.
    const char* word;
    // The options it takes; none for a command whose arguments may begin with '-'.
    std::span<const OptionInfo> options;
    // The arguments after the options, as the help text shows them; "" for none.
    const char* arguments;
    // The arguments it needs, in order, as its error line names the first one missing
    // ("No code specified for call"); their count is the least it takes.
    std::span<const char* const> required;
    // The most arguments it takes (kAnyCount: no bound). Past it, the command line is
    // refused, unless `extraIgnored` (the words after list and check's name are ignored,
    // as ever).
    int most;
    bool extraIgnored;
    // How many of the first arguments are service names (kAllNames: all). Such a name
    // that begins with '-' is refused as an option out of place, unless "--" ended the
    // options.
    int names;
    // One line of help, at most 44 characters, so that a row fits 80 columns.
    const char* help;
    // Runs the command with the cursor on its first argument and state.options read.
    void (*run)(ToolState& state);
    // False for the commands that do not go through the tool's registry connection (help
    // and version need none; wait connects itself, and waits for a registry to come):
    // the tool does not connect for them.
    bool needsRegistry;
    // A command that help, the manual page and the completion do not offer: one made for
    // the completion itself.
    bool hidden;
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
