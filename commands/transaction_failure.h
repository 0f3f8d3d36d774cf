// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "commands/tool_state.h"
#include "platform/ipc.h"

namespace zorlek {

// Sends `request` with `code` and `flags` to `object` and returns the status, the reply in
// `reply` (a request whose building failed, as past 1 MiB, fails whole with that status and
// is not sent). With `printReply`, writes "Result: ", the reply's dump and a newline to
// aout, whatever the status. A failure is then reported as reportTransactionFailure
// reports it, with EXIT_USAGE.
status_t sendAndReport(ToolState& state, IBinder& object, uint32_t code, const Parcel& request,
                       uint32_t flags, bool printReply, Parcel* reply);

// Writes "zorlek: Transaction failed with status N (TEXT)" and a newline to aerr, N in
// signed decimal and TEXT strerror(-N); for N > 0 only "... with status N". A status
// whose negation is not an int (INT32_MIN) reads "Unknown error 2147483648", as
// strerror words unknown numbers. `status` must not be 0.
void reportTransactionFailure(status_t status);

// Writes "zorlek: Unable to get the interface of SERVICE: REASON" and a newline to aerr:
// SERVICE as typed, REASON strerror(-N) for a negative status N (worded as above for
// INT32_MIN) and "status N" for a positive one. `status` must not be 0.
void reportInterfaceFailure(const char* service, status_t status);

}  // namespace zorlek
