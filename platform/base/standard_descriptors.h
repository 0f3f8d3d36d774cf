// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/base/status.h"

namespace zorlek {

// Makes sure descriptors 0, 1 and 2 are open, so that no socket, file or epoll this
// process opens later takes one of them: a program started with standard output closed
// would otherwise write its output into whatever got descriptor 1, such as its registry
// connection. Each of the three that is closed is opened on /dev/null (or, where that
// cannot be opened, on a descriptor that takes no reads and writes); the others are left
// as they are. Call it first thing in main(), before anything opens a descriptor (global
// objects that do, such as a ServiceHost, are made after it). One system call when all
// three are open. Returns 0, or the -errno of the open that failed.
status_t openStandardDescriptors();

}  // namespace zorlek
