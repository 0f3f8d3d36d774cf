// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/ipc.h"

namespace zorlek {

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
