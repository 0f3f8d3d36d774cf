// SPDX-License-Identifier: Apache-2.0
#include "commands/commands.h"
#include "commands/registry_failure.h"
#include "platform/text.h"

namespace zorlek {

void runNames(ToolState& state) {
    Vector<String16> names;
    status_t status = state.serviceManager->list(&names);
    if (status != OK) {
        aerr << "zorlek: Unable to list services: " << describeRegistryFailure(status, true)
             << endl;
        state.exitStatus = EXIT_NO_SERVICE_MANAGER;
        return;
    }
    // Whole lines only, up to the bound: the shell that completes holds all of it.
    size_t written = 0;
    for (const String16& name : names) {
        String8 line = narrowForDisplay(name);
        if (written + line.size() + 1 > kMaxNamesBytes) break;
        written += line.size() + 1;
        aout << line << "\n";
    }
}

}  // namespace zorlek
