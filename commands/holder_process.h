// SPDX-License-Identifier: Apache-2.0
// Whether the process the registry names as a name's holder can be read here, through
// /proc, as that very process: a pid number alone may since belong to another process,
// or, across PID namespaces, name another process altogether.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/ipc.h"

namespace zorlek {

// What this process can know of a holder's process.
enum class HolderProcess {
    // The process that registered runs, and /proc shows it here.
    kHere,
    // Its pid now names a process that started after the name was registered or that
    // another user owns, or none at all: the holder's process is gone (its registry
    // connection may live on in a child it handed it to).
    kGone,
    // Its pid cannot be read here: the registry runs in another PID namespace than this
    // process (its numbers are not this namespace's), or it gave pid 0 (not known).
    kElsewhere,
};

// Asks, for `holder` as the registry gave it: first whether the registry numbers
// processes as this process does (its listener's credentials on a connection to the
// registry's socket, and that process's NSpid), then pins `holder.pid` with a pidfd where
// the kernel has them and checks its owner and its start against the registration.
// `readProc` runs while the process is pinned and reads what is wanted of /proc; the
// answer says whether what it read was the holder's.
HolderProcess checkHolderProcess(const ServiceHolder& holder, void (*readProc)(int32_t, void*),
                                 void* context);

// From /proc/PID/stat's text: the start of the process, in clock ticks since boot
// (the 22nd field, counted after the command's closing parenthesis); -1 when malformed.
int64_t startTicksIn(std::string_view stat);

// From /proc/PID/status's text: the effective uid (second field of "Uid:"), the one the
// kernel names a connection's owner by, and the pid in the
// process's own namespace (last field of "NSpid:"); -1 each when absent or malformed.
int64_t effectiveUidIn(std::string_view status);
int64_t innermostPidIn(std::string_view status);

// Whether a process that started `startMs` after boot can be the one that registered at
// `registeredMs` after boot: it must have started first (within `slackMs`, for the
// clocks' grain).
bool startedBefore(int64_t startMs, int64_t registeredMs, int64_t slackMs);

}  // namespace zorlek
