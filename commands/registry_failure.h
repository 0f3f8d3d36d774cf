#pragma once

#include "platform/ipc.h"

namespace zorlek {

// What went wrong with the registry, for the error line of a command: a failure of the
// connection (-ETIMEDOUT, -EPIPE, ...), a malformed answer (-EBADMSG: a malformed
// listing when `listing`), a listing past its bounds (-E2BIG), or strerror's text.
const char* describeRegistryFailure(status_t status, bool listing);

}  // namespace zorlek
