// SPDX-License-Identifier: Apache-2.0
// Descriptors that a peer chose never reach close(2) on a serving thread: the last close
// of a socket with SO_LINGER and unsent data, of a file on a FUSE mount whose daemon does
// not answer, or of a terminal that drains, blocks for as long as that peer wants. Nor do
// the program's own sockets wait on anyone: one a peer may have sent descriptors into is
// emptied of them first and closed at once.
//
// The kernel can refuse them at the door (SO_PASSRIGHTS, Linux 6.16 and later): a socket
// that refuses descriptors makes a peer's sendmsg with SCM_RIGHTS fail, so nothing it chose
// ever reaches this process, nor waits unread in the socket. Where the kernel cannot
// refuse, or a descriptor did arrive, it is closed aside, by closer threads that the
// library starts at the first such descriptor (the only threads it starts). A closer first
// makes the close short where an option can (a socket stops lingering, a Unix socket is
// emptied), so a peer's sockets hold none for long; a close nothing shortens holds its own
// closer, and another starts for the rest, up to kMaxCloserThreads (platform/base/limits.h).
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

// Closes `fd`, a descriptor a peer chose, on a closer thread, never on this one; never
// blocks. Every descriptor handed over stays open until a closer has closed it, so the
// queue is bounded by the process's descriptor limit, and closesPending() tells how many
// to count against it; a process that exits meanwhile lets the kernel close them (where a
// lingering socket does not wait). When no closer can be started, the descriptors wait for
// the next call to try again.
void closeAside(unique_fd fd);

// Closes `fd`, a connected socket of this program's own, at once: a Unix socket that does
// not refuse descriptors is first shut for reading, so that its peer can send no more, and
// emptied, the descriptors a peer left in it going aside (closeAside). Anything else (not a
// Unix socket, or one that will not shut) goes aside whole.
void closeSocket(unique_fd fd);

// Descriptors handed to closeAside() that are not closed yet: they count against the
// process's descriptor limit as much as any it uses.
size_t closesPending();

// For tests: false makes refuseDescriptors() and refusesDescriptors() behave as on a
// kernel without SO_PASSRIGHTS, so that the fallback can be tried on any kernel.
void refusalByKernelForTesting(bool enabled);
// For tests: false makes the closers close every descriptor as it is, as they must a file
// whose close nothing shortens, so that a close that blocks can be tried with a socket.
void shorteningClosesForTesting(bool enabled);

}  // namespace zorlek
