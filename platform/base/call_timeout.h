// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/base/limits.h"

namespace zorlek {

// kDefaultCallTimeoutMs (platform/base/limits.h) is the wait used when
// ZORLEK_CALL_TIMEOUT_MS is unset or not a valid value.

// Reads a timeout setting: ASCII digits only, giving 1..2147483647. Anything else (null,
// empty, a sign, spaces, 0, a value out of range) gives kDefaultCallTimeoutMs.
int parseCallTimeoutMs(const char* text);

// The bound on each wait for a peer (a reply, the registry, a socket that will not take
// more bytes), in milliseconds: $ZORLEK_CALL_TIMEOUT_MS as parseCallTimeoutMs reads it.
// The variable is read once per process, at the first call.
int callTimeoutMs();

}  // namespace zorlek
