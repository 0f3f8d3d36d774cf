// SPDX-License-Identifier: Apache-2.0
#include "commands/commands.h"
#include "commands/registry_failure.h"
#include "platform/text.h"

namespace zorlek {

void runCheck(ToolState& state) {
    const char* service = state.arg();
    sp<IBinder> object;
    if (!lookUpService(state, service, &object)) return;
    // The name is echoed as typed, not as the registry saw it after decoding.
    aout << "Service " << service << (object ? ": found" : ": not found") << endl;
}

}  // namespace zorlek
