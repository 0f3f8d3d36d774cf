// SPDX-License-Identifier: Apache-2.0
#include <cstring>
#include <optional>
#include <vector>

#include "commands/commands.h"
#include "commands/integer.h"
#include "commands/registry_failure.h"
#include "platform/text.h"

namespace zorlek {
void runWait(ToolState& state) {
    bool gone = state.option("--gone") != nullptr;
    int timeoutMs = -1;
    if (const char* seconds = state.option("--timeout")) {
        std::optional<int> ms = parseSeconds(seconds);
        if (!ms) {
            aerr << "zorlek: invalid timeout: " << seconds << endl;
            return state.failUsage();
        }
        timeoutMs = *ms;
    }
    int first = state.cursor;
    std::vector<String16> names;
    for (; state.hasArg(); ++state.cursor) names.emplace_back(state.arg());
    size_t pending = 0;
    status_t status = waitForServices(names.data(), names.size(), gone, timeoutMs, &pending);
    const char* name = state.argv[first + static_cast<int>(pending < names.size() ? pending : 0)];
    switch (status) {
        case OK:
            return;
        case -ETIMEDOUT:
            aerr << "zorlek: Timed out waiting for " << name << endl;
            break;
        case -EINVAL:
            aerr << "zorlek: Not a service name: " << name << endl;
            break;
        case -E2BIG:
            aerr << "zorlek: Too many services to wait for at once" << endl;
            break;
        default:
            aerr << "zorlek: Unable to wait for services: "
                 << describeRegistryFailure(status, false) << endl;
            state.exitStatus = EXIT_NO_SERVICE_MANAGER;
            return;
    }
    state.exitStatus = EXIT_USAGE;
}

}  // namespace zorlek
