// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "commands/tool_state.h"
#include "platform/ipc.h"

namespace zorlek {

// What went wrong with the registry, for the error line of a command: a failure of the
// connection (-ETIMEDOUT, -EPIPE, ...), a malformed answer (-EBADMSG: a malformed
// listing when `listing`), a listing past its bounds (-E2BIG), or strerror's text.
const char* describeRegistryFailure(status_t status, bool listing);

// Looks `service` (as typed) up through the driver's registry into `out` (null when no
// such name is registered). When the registry cannot answer, writes
// "zorlek: Unable to look up SERVICE: REASON", sets EXIT_NO_SERVICE_MANAGER and returns
// false: a registry that fails is not a name that is missing.
bool lookUpService(ToolState& state, const char* service, sp<IBinder>* out);

}  // namespace zorlek
