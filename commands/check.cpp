#include "commands/commands.h"
#include "commands/registry_failure.h"
#include "platform/text.h"

namespace zorlek {

void runCheck(ToolState& state) {
    ++state.cursor;
    if (!state.hasArg()) {
        aerr << "zorlek: No service specified for check" << endl;
        state.failUsage();
        return;
    }
    const char* service = state.arg();
    sp<IBinder> object;
    status_t status = state.serviceManager->lookup(String16(service), &object);
    // A registry that could not answer is not a name that is missing.
    if (status != OK && status != -ENOENT) {
        aerr << "zorlek: Unable to look up " << service << ": "
             << describeRegistryFailure(status, false) << endl;
        state.exitStatus = EXIT_NO_SERVICE_MANAGER;
        return;
    }
    // The name is echoed as typed, not as the registry saw it after decoding.
    aout << "Service " << service << (object ? ": found" : ": not found") << endl;
}

}  // namespace zorlek
