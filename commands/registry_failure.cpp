// SPDX-License-Identifier: Apache-2.0
#include "commands/registry_failure.h"

#include <cstring>

#include "platform/text.h"

namespace zorlek {

const char* describeRegistryFailure(status_t status, bool listing) {
    switch (status) {
        case -ETIMEDOUT:
            return "the registry did not answer in time";
        case -EPIPE:
        case -ECONNRESET:
            return "the registry closed the connection";
        case -EBADMSG:
            return listing ? "the registry sent a malformed listing"
                           : "the registry sent a malformed answer";
        case -EOPNOTSUPP:
            return "the registry is older than this request";
        case -E2BIG:
            return "the listing passed 1000000 names or 128 MiB";
        default:
            return std::strerror(-status);
    }
}

bool lookUpService(ToolState& state, const char* service, sp<IBinder>* out) {
    status_t status = state.serviceManager->lookup(String16(service), out);
    if (status == OK || status == -ENOENT) return true;
    aerr << "zorlek: Unable to look up " << service << ": "
         << describeRegistryFailure(status, false) << endl;
    state.exitStatus = EXIT_NO_SERVICE_MANAGER;
    return false;
}

}  // namespace zorlek
