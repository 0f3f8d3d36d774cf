// SPDX-License-Identifier: Apache-2.0
#include "driver/driver.h"

#include <cstdio>
#include <cstring>

#include "driver/command_table.h"
#include "driver/options.h"
#include "driver/usage.h"
#include "platform/text.h"

namespace zorlek {
namespace {

// Runs `command` once its command line reads as its row allows.
void runCommand(const CommandInfo& command, ToolState& state) {
    if (readCommandLine(command, state)) command.run(state);
}

void dispatch(ToolState& state) {
    if (const CommandInfo* command = findCommand(state.arg())) return runCommand(*command, state);
    aerr << "zorlek: Unknown command " << state.arg() << endl;
    state.exitStatus = EXIT_USAGE;
    state.usageRequested = true;
}

// The command of a command line that names one working without a registry, with no option
// before it ("--" aside); null for any other. Looked at before connecting, and silently:
// every other command line, options included, goes through the registry as ever.
const CommandInfo* localCommand(int argc, char** argv, int* at) {
    *at = argc > 1 && std::strcmp(argv[1], "--") == 0 ? 2 : 1;
    if (*at >= argc) return nullptr;
    const CommandInfo* command = findCommand(argv[*at]);
    return command != nullptr && !command->needsRegistry ? command : nullptr;
}

// Standard output that could not take the run's bytes (a full disk) is a failure, not a
// success with nothing shown. A reader that closed the pipe early wanted no more: that
// stays quiet.
int32_t finish(int32_t exitStatus) {
    aout.flush();
    int error = aout.error();
    if (error == 0 || error == EPIPE) return exitStatus;
    aerr << "zorlek: Unable to write to standard output: " << std::strerror(error) << endl;
    return exitStatus == EXIT_OK ? EXIT_USAGE : exitStatus;
}

// The end of every run that reached a command: the usage text when asked for, then the
// status once standard output took what was written.
int32_t finishCommand(const ToolState& state) {
    if (state.usageRequested) printUsage();
    return finish(state.exitStatus);
}

}  // namespace

int32_t runDriver(sp<ServiceManager> serviceManager, int argc, char** argv) {
    std::fflush(stdout);
    ToolState state;
    state.serviceManager = std::move(serviceManager);
    state.argc = argc;
    state.argv = argv;
    if (!state.serviceManager) {
        aerr << "zorlek: Unable to get default service manager!" << endl;
        return EXIT_NO_SERVICE_MANAGER;
    }
    parseOptions(state);
    if (!state.hasArg() || state.usageRequested) {
        printUsage();
        return finish(state.exitStatus);
    }
    dispatch(state);
    return finishCommand(state);
}

int32_t runLocal(int argc, char** argv) {
    int at = 0;
    const CommandInfo* command = localCommand(argc, argv, &at);
    if (command == nullptr) return -1;
    std::fflush(stdout);
    ToolState state;
    state.argc = argc;
    state.argv = argv;
    state.cursor = at;
    runCommand(*command, state);
    return finishCommand(state);
}

int32_t runTool(int argc, char** argv) {
    int32_t local = runLocal(argc, argv);
    if (local >= 0) return local;
    return runDriver(defaultServiceManager(), argc, argv);
}

}  // namespace zorlek
