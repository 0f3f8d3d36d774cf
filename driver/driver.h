// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>

#include "platform/ipc.h"

namespace zorlek {

// The whole life of one run: a command that works without the tool's registry connection
// (help, version, wait) runs at once; any other command line obtains the service manager, then runs
// runDriver. Returns the exit status (0, 10 or 20).
int32_t runTool(int argc, char** argv);

// Runs the command line when it names a command that works without a registry, with no
// option before it; its exit status then, else -1 (nothing done).
int32_t runLocal(int argc, char** argv);

// One run against a given service manager (null means the registry is unavailable):
// options, dispatch of one command, the usage text when requested. Returns the exit
// status. Resets getopt's state first, so it may be called more than once in-process.
int32_t runDriver(sp<ServiceManager> serviceManager, int argc, char** argv);

}  // namespace zorlek
