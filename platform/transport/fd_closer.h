// SPDX-License-Identifier: Apache-2.0
// Descriptors that a peer chose never reach close(2) on a serving thread: the last close
// of a socket with SO_LINGER and unsent data, of a file on a FUSE mount whose daemon does
// not answer, or of a terminal that drains, blocks for as long as that peer wants.
//
// The kernel can refuse them at the door (SO_PASSRIGHTS, Linux 6.16 and later): a socket
// that refuses descriptors makes a peer's sendmsg with SCM_RIGHTS fail, so nothing it chose
// ever reaches this process, nor waits unread in the socket. Where the kernel cannot
// refuse, or a descriptor did arrive, it is closed aside: on one background thread,
// started at the first such descriptor. That thread is the only one the library starts,
// and only then.
#pragma once

#include <cstddef>

#include "platform/base/status.h"
#include "platform/base/unique_fd.h"

namespace zorlek {

// Has the kernel refuse every descriptor sent to `sock` from now on. 0; -ENOPROTOOPT on a
// kernel without the option (or while refusalByKernelForTesting(false) holds), -errno.
status_t refuseDescriptors(int sock);

// True when `sock` refuses descriptors at the kernel, so that closing it cannot release
// anything a peer chose. False on a kernel without the option.
bool refusesDescriptors(int sock);

// Closes `fd` on the closer thread, never on this one; never blocks. Every descriptor
// handed over stays open until that thread has closed it, so the queue is bounded by the
// process's descriptor limit; a process that exits meanwhile lets the kernel close them
// (where a lingering socket does not wait). When the thread cannot be started, the
// descriptors wait for the next call to try again.
void closeAside(unique_fd fd);

// Closes `fd` at once when it refuses descriptors (nothing a peer chose can wait in it),
// else aside: for a socket whose receive queue a peer may have filled with descriptors.
void closeSocket(unique_fd fd);

// Descriptors handed to closeAside() that are not closed yet.
size_t closesPending();

// For tests: false makes refuseDescriptors() and refusesDescriptors() behave as on a
// kernel without SO_PASSRIGHTS, so that the fallback can be tried on any kernel.
void refusalByKernelForTesting(bool enabled);

}  // namespace zorlek
