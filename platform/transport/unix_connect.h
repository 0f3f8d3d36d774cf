// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/base/status.h"
#include "platform/base/unique_fd.h"

namespace zorlek {

// Connects a Unix stream socket (non-blocking, close-on-exec) to `path`. While the
// listener's backlog is full it tries again until `timeoutMs` has passed. Returns 0 and
// the socket in `out`, or -ENAMETOOLONG, -ENOENT, -ECONNREFUSED, -ETIMEDOUT, -errno.
status_t connectUnix(const char* path, int timeoutMs, unique_fd* out);

}  // namespace zorlek
