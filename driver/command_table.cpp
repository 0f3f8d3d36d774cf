// SPDX-License-Identifier: Apache-2.0
#include "driver/command_table.h"

#include <cstring>

#include "commands/commands.h"
#include "driver/help.h"

namespace zorlek {
namespace {

constexpr CommandInfo kCommands[] = {
    {"check", "SERVICE", "Tell whether SERVICE is registered.", runCheck, true},
    {"list", "", "List the services and their interfaces.", runList, true},
    {"call", "SERVICE CODE [ARGUMENT]...", "Call SERVICE and print a dump of the reply.", runCall,
     true},
    {"status", "[--json] SERVICE", "Tell who holds SERVICE.", runStatus, true},
    {"wait", "[--timeout SECONDS] [--gone] SERVICE...", "Wait for every SERVICE to come (or go).",
     runWait, false},
    {"describe", "[--interface FILE.zi] SERVICE", "Print the interface SERVICE describes.",
     runDescribe, true},
    {"invoke", "[--raw] [--interface FILE.zi] SERVICE METHOD [ARG]...",
     "Call METHOD by name and print JSON.", runInvoke, true},
    {"help", "", "Print this text.", runHelp, false},
    {"version", "", "Print the versions of zorlek and protocol.", runVersion, false},
};

constexpr EnvironmentInfo kEnvironment[] = {
    {"ZORLEK_REGISTRY", "The registry's socket path."},
    {"ZORLEK_CALL_TIMEOUT_MS", "Bound on each wait, in ms (default 10000)."},
    {"ZORLEK_POLL", "0: never poll for a reply before sleeping."},
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
