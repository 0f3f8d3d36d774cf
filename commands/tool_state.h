// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <cstring>

#include "platform/ipc.h"

namespace zorlek {

// The tool's exit statuses, the only values it returns.
constexpr int32_t EXIT_OK = 0;
constexpr int32_t EXIT_USAGE = 10;
constexpr int32_t EXIT_NO_SERVICE_MANAGER = 20;

// An option given to a command, as the driver's option reader found it.
struct GivenOption {
    // The option's word as the command table names it ("--json").
    const char* name = nullptr;
    // The word after it, for an option that takes one; "" for one that takes none.
    const char* value = nullptr;
};

// The most options one command takes; the command table holds to it.
constexpr int kMaxCommandOptions = 6;

// The driver's state for one run, shared with the command it dispatches to.
struct ToolState {
    // The registry every command works through: non-null while a command that needs one
    // runs, null for those that do not (help, version, and wait, which connects itself).
    sp<ServiceManager> serviceManager;
    // The argument vector (not owned; element 0 is the program name) and its count.
    int argc = 0;
    char** argv = nullptr;
    // Index of the next argument to read. A command starts with it on its own word and
    // moves it past what it consumes.
    int cursor = 1;
    // Returned from the entry point; commands set it to EXIT_USAGE on errors.
    int32_t exitStatus = EXIT_OK;
    // When set at the end of the run, the driver prints the usage text.
    bool usageRequested = false;
    // The options given between the command word and its arguments, each once (the last
    // one given wins), as the command table allows them.
    GivenOption options[kMaxCommandOptions];
    int optionCount = 0;

    // True when an argument is left at the cursor.
    bool hasArg() const { return cursor < argc; }
    // The argument at the cursor; only when hasArg().
    const char* arg() const { return argv[cursor]; }
    // The value of option `name` ("" for one that takes none); null when it was not given.
    const char* option(const char* name) const {
        for (int i = 0; i < optionCount; ++i) {
            if (std::strcmp(options[i].name, name) == 0) return options[i].value;
        }
        return nullptr;
    }
    // Marks a command-line error: status EXIT_USAGE and the usage text after the command.
    void failUsage() {
        exitStatus = EXIT_USAGE;
        usageRequested = true;
    }
};

}  // namespace zorlek
