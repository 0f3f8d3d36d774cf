// SPDX-License-Identifier: Apache-2.0
#include "driver/command_table.h"

#include <cstring>

#include "commands/commands.h"
#include "driver/help.h"

namespace zorlek {
namespace {

constexpr OptionInfo kStatusOptions[] = {{"--json", nullptr, nullptr}};
constexpr OptionInfo kWaitOptions[] = {{"--timeout", "SECONDS", "timeout"},
                                       {"--gone", nullptr, nullptr}};
constexpr OptionInfo kDescribeOptions[] = {{"--interface", "FILE.zi", "file"}};
constexpr OptionInfo kInvokeOptions[] = {{"--raw", nullptr, nullptr},
                                         {"--interface", "FILE.zi", "file"},
                                         {"--count", "N", "count"},
                                         {"--timeout", "SECONDS", "timeout"}};

// capture writes every record whole to a file: it takes monitor's options but the two of
// the output's form.
constexpr OptionInfo kMonitorOptions[] = {
    {"--json", nullptr, nullptr},        {"--payload", nullptr, nullptr},
    {"--snaplen", "BYTES", "snaplen"},   {"--count", "N", "count"},
    {"--timeout", "SECONDS", "timeout"}, {"--wait", nullptr, nullptr}};
constexpr OptionInfo kCaptureOptions[] = {{"--snaplen", "BYTES", "snaplen"},
                                          {"--count", "N", "count"},
                                          {"--timeout", "SECONDS", "timeout"},
                                          {"--wait", nullptr, nullptr}};

constexpr const char* kService[] = {"service"};
constexpr const char* kServiceAndCode[] = {"service", "code"};
constexpr const char* kServiceAndMethod[] = {"service", "method"};

constexpr CommandInfo kCommands[] = {
    {"check",
     {},
     "SERVICE",
     kService,
     kAnyCount,
     true,
     0,
     "Tell whether SERVICE is registered.",
     runCheck,
     true,
     false},
    {"list",
     {},
     "",
     {},
     kAnyCount,
     true,
     0,
     "List the services and their interfaces.",
     runList,
     true,
     false},
    {"call",
     {},
     "SERVICE CODE [ARGUMENT]...",
     kServiceAndCode,
     kAnyCount,
     false,
     0,
     "Call SERVICE and print a dump of the reply.",
     runCall,
     true,
     false},
    {"status", kStatusOptions, "SERVICE", kService, 1, false, 1, "Tell who holds SERVICE.",
     runStatus, true, false},
    {"wait", kWaitOptions, "SERVICE...", kService, kAnyCount, false, kAllNames,
     "Wait for every SERVICE to come (or go).", runWait, false, false},
    {"describe", kDescribeOptions, "SERVICE", kService, 1, false, 1,
     "Print the interface SERVICE describes.", runDescribe, true, false},
    {"invoke", kInvokeOptions, "SERVICE METHOD [ARG]...", kServiceAndMethod, kAnyCount, false, 1,
     "Call METHOD by name and print JSON.", runInvoke, true, false},
    {"monitor", kMonitorOptions, "SERVICE...", kService, kAnyCount, false, kAllNames,
     "Print each call to every SERVICE.", runMonitor, true, false},
    {"capture", kCaptureOptions, "SERVICE...", kService, kAnyCount, false, kAllNames,
     "Write calls to SERVICE as pcapng.", runCapture, true, false},
    {"help", {}, "", {}, 0, false, 0, "Print this text.", runHelp, false, false},
    {"version",
     {},
     "",
     {},
     0,
     false,
     0,
     "Print the versions of zorlek and protocol.",
     runVersion,
     false,
     false},
    {"names",
     {},
     "",
     {},
     0,
     false,
     0,
     "Print the registered names, one a line.",
     runNames,
     true,
     true},
};

constexpr bool optionsFit() {
    for (const CommandInfo& command : kCommands) {
        if (command.options.size() > kMaxCommandOptions) return false;
    }
    return true;
}
static_assert(optionsFit(), "a command takes more options than ToolState keeps");

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
