// SPDX-License-Identifier: Apache-2.0
// The registry's listening socket: put in place so that the path exists only once it
// accepts connections, and removed at exit only if it is still this registry's.
#pragma once

#include <sys/types.h>

#include "platform/base/status.h"
#include "platform/base/unique_fd.h"
#include "platform/text/string8.h"

namespace zorlek::registry {

// Which file a bound socket became, to recognise it at exit.
struct SocketIdentity {
    dev_t device = 0;
    ino_t inode = 0;
};

// Makes the listening socket at `path`: creates the missing folders (mode 0755); refuses
// (-EPERM) a folder that a user other than root and this one owns or can write to; holds an
// exclusive lock on the folder while it checks and takes the path, so that of two
// registries starting at once the second finds the first one live; refuses
// when a live registry (or anything else) answers at `path` or when `path` is not a
// socket; removes a stale socket; binds under a temporary name in the same folder,
// under a umask that makes it mode 0666, listens, and renames it into place. Returns 0 with the
// non-blocking socket in `out` and its identity, or a negative errno with a one-line explanation in
// `error` (without a program prefix).
status_t openListeningSocket(const char* path, int probeTimeoutMs, unique_fd* out,
                             SocketIdentity* identity, String8* error);

// Removes `path` when it is still the socket described by `identity` (a registry that
// replaced it meanwhile keeps its own).
void removeOwnSocket(const char* path, const SocketIdentity& identity);

}  // namespace zorlek::registry
