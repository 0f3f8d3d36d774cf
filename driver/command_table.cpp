// SPDX-License-Identifier: Apache-2.0
#include "driver/command_table.h"

#include <cstring>

#include "commands/commands.h"
#include "driver/help.h"

namespace zorlek {
namespace {

constexpr CommandInfo kCommands[] = {
    {"check", "SERVICE", "Tell whether SERVICE is registered.", runCheck, true},
    {"list", "", "List every registered service with its interface descriptor.", runList, true},
    {"call", "SERVICE CODE [ARGUMENT]...",
     "Send transaction CODE to SERVICE and print a dump of the reply.", runCall, true},
    {"status", "[--json] SERVICE", "Tell who holds SERVICE: process, user, unit, since when.",
     runStatus, true},
    {"help", "", "Print this text.", runHelp, false},
    {"version", "", "Print the version of zorlek and of the protocol it speaks.", runVersion,
     false},
};

constexpr EnvironmentInfo kEnvironment[] = {
    {"ZORLEK_REGISTRY", "The registry's socket (default /run/zorlek/registry.sock)."},
    {"ZORLEK_CALL_TIMEOUT_MS", "Milliseconds every wait for an answer may take (default 10000)."},
};

}  // namespace

std::span<const CommandInfo> commandTable() {
    return kCommands;
}

const CommandInfo* findCommand(const char* word) {
    for (const CommandInfo& command : kCommands) {
        if (std::strcmp(word, command.word) == 0) return &command;
    }
    return nullptr;
}

std::span<const EnvironmentInfo> environmentTable() {
    return kEnvironment;
}

}  // namespace zorlek
