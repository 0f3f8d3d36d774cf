// SPDX-License-Identifier: Apache-2.0
#include "commands/transaction_failure.h"

#include <climits>
#include <cstring>

#include "platform/text.h"

namespace zorlek {
namespace {

// strerror(-status) of a negative status, which INT32_MIN is too.
const char* errorText(status_t status) {
    return status == INT32_MIN ? "Unknown error 2147483648" : std::strerror(-status);
}

}  // namespace

status_t sendAndReport(ToolState& state, IBinder& object, uint32_t code, const Parcel& request,
                       uint32_t flags, bool printReply, Parcel* reply) {
    // A request too large to build fails as a whole, as the transport would refuse it.
    status_t status = request.status();
    if (status == OK) status = object.sendTransaction(code, request, reply, flags);
    if (printReply) {
        aout << "Result: ";
        reply->print(aout, 0);
        aout << endl;
    }
    // A failed transaction is reported after what was printed, not passed off as success.
    if (status != OK) {
        reportTransactionFailure(status);
        state.exitStatus = EXIT_USAGE;
    }
    return status;
}

void reportTransactionFailure(status_t status) {
    aerr << "zorlek: Transaction failed with status " << status;
    if (status < 0) aerr << " (" << errorText(status) << ")";
    aerr << endl;
}

void reportInterfaceFailure(const char* service, status_t status) {
    aerr << "zorlek: Unable to get the interface of " << service << ": ";
    if (status < 0) {
        aerr << errorText(status);
    } else {
        aerr << "status " << status;
    }
    aerr << endl;
}

}  // namespace zorlek
