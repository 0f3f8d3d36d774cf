// SPDX-License-Identifier: Apache-2.0
#include "driver/driver.h"

#include <cstdio>
#include <cstring>

#include "commands/commands.h"
#include "driver/options.h"
#include "driver/usage.h"
#include "platform/text.h"

namespace zorlek {
namespace {

struct Command {
    const char* word;
    void (*run)(ToolState&);
};

constexpr Command kCommands[] = {
    {"check", runCheck},
    {"list", runList},
    {"call", runCall},
    // Typed interfaces: what a service describes, and its methods called by name.
    {"describe", runDescribe},
    {"invoke", runInvoke},
};

void dispatch(ToolState& state) {
    for (const Command& command : kCommands) {
        if (std::strcmp(state.arg(), command.word) == 0) {
            command.run(state);
            return;
        }
    }
    aerr << "zorlek: Unknown command " << state.arg() << endl;
    state.exitStatus = EXIT_USAGE;
    state.usageRequested = true;
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
    if (state.usageRequested) printUsage();
    return finish(state.exitStatus);
}

int32_t runTool(int argc, char** argv) {
    return runDriver(defaultServiceManager(), argc, argv);
}

}  // namespace zorlek
