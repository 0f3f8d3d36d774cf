// SPDX-License-Identifier: Apache-2.0
#include "platform/transport/unix_connect.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>

#include "platform/base/deadline.h"

namespace zorlek {

status_t connectUnix(const char* path, int timeoutMs, unique_fd* out) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    size_t length = std::strlen(path);
    if (length == 0) return -ENOENT;
    if (length >= sizeof(address.sun_path)) return -ENAMETOOLONG;
    std::memcpy(address.sun_path, path, length);
    unique_fd sock(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!sock) return -errno;
    Deadline deadline = Deadline::after(timeoutMs);
    for (;;) {
        if (::connect(sock.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
            *out = std::move(sock);
            return OK;
        }
        // A non-blocking Unix connect does not wait for room in a full backlog; it says
        // EAGAIN, so wait a little and ask again within the bound.
        if (errno != EAGAIN && errno != EINTR) return -errno;
        if (deadline.remainingMs() == 0) return -ETIMEDOUT;
        pauseBefore(5, deadline);
    }
}

}  // namespace zorlek
