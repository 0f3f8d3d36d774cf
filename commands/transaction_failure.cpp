// SPDX-License-Identifier: Apache-2.0
#include "commands/transaction_failure.h"

#include <climits>
#include <cstring>

#include "platform/text.h"

namespace zorlek {

void reportTransactionFailure(status_t status) {
    aerr << "zorlek: Transaction failed with status " << status;
    if (status == INT32_MIN) {
        aerr << " (Unknown error 2147483648)";
    } else if (status < 0) {
        aerr << " (" << std::strerror(-status) << ")";
    }
    aerr << endl;
}

}  // namespace zorlek
