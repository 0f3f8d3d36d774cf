// SPDX-License-Identifier: Apache-2.0
// Passing file descriptors with SCM_RIGHTS, and reading the sender's credentials
// (SCM_CREDENTIALS): the control data of sendmsg and recvmsg.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>

#include "platform/base/limits.h"
#include "platform/base/unique_fd.h"

namespace zorlek {

// The most descriptors one sendmsg carries (the kernel's SCM_MAX_FD). A receive has room
// for all of them: those that find no room (MSG_CTRUNC) the kernel closes on the receiving
// thread, where the close of one a peer chose may block for as long as that peer wants.
constexpr size_t kMaxFdsPerSend = 253;

// A receive keeps kMaxFdsSeen descriptors (platform/base/limits.h) in hand; the rest are
// closed aside (fd_closer.h) at once.

// Control data room for sending one descriptor, or receiving kMaxFdsPerSend and the
// sender's credentials.
union ControlBuffer {
    cmsghdr align;
    char bytes[CMSG_SPACE(sizeof(int) * kMaxFdsPerSend) + CMSG_SPACE(sizeof(ucred))];
};

// Descriptors taken from received control data, owned until given away. A peer chose
// them, so those not given away are closed aside, never on this thread (fd_closer.h).
struct ReceivedFds {
    ReceivedFds() = default;
    ReceivedFds(ReceivedFds&& other) noexcept;
    ReceivedFds& operator=(ReceivedFds&& other) noexcept;
    ~ReceivedFds() { closeAll(); }

    unique_fd fds[kMaxFdsSeen];
    size_t count = 0;
    // All that arrived, those closed aside at once included.
    size_t arrived = 0;

    // Gives away the first descriptor and closes the rest; -1 when none arrived.
    unique_fd takeFirst();
    // Closes all.
    void closeAll();
};

// Has receives on `sock` take a byte a peer sent out of band (MSG_OOB) in line, with its
// descriptors: skipped, as by default, its descriptors would be closed by the kernel on the
// receiving thread. Before the first receive.
void takeOutOfBandInline(int sock);
// Points `message` at `control` with room for kMaxFdsPerSend descriptors.
void prepareReceiveControl(msghdr* message, ControlBuffer* control);
// Takes ownership of every descriptor in the control data of a received `message` into
// `out`; those past its room are closed aside at once.
void collectFds(msghdr* message, ReceivedFds* out);
// The sender's credentials in the control data of a received `message` (a socket with
// SO_PASSCRED); false when there are none.
bool collectCredentials(msghdr* message, ucred* out);
// Attaches `fd` to `message` (for sendmsg); nothing when `fd` is negative.
void attachFd(msghdr* message, ControlBuffer* control, int fd);

// One sendmsg of `iov` without waiting, with `fd` attached unless it is negative. Returns
// the bytes sent, 0 when the socket has no room, -EPIPE when the peer is gone, or
// another -errno. Never raises SIGPIPE.
ssize_t sendNow(int sock, iovec* iov, int count, int fd);

}  // namespace zorlek
