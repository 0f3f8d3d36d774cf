// SPDX-License-Identifier: Apache-2.0
#include "registry/systemd.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace zorlek::registry {
namespace {

// A service manager hands its descriptors over from 3 on, after the standard three.
constexpr int kFirstHandedFd = 3;

// A decimal number of ASCII digits only; -1 for anything else (null, empty, a sign).
long parseDigits(const char* text) {
    if (text == nullptr || *text < '0' || *text > '9') return -1;
    const char* end = text + std::strlen(text);
    long value = -1;
    auto [stop, problem] = std::from_chars(text, end, value);
    return problem == std::errc() && stop == end ? value : -1;
}

// A refusal of what the environment or the manager gave: -EINVAL and `what` in `error`.
status_t refuse(String8* error, const char* what) {
    error->clear();
    error->append(what);
    return -EINVAL;
}

// A failed system call: -errnum, with `what` and the reason in `error`.
status_t failed(String8* error, const char* what, int errnum) {
    refuse(error, what);
    error->append(": ").append(std::strerror(errnum));
    return -errnum;
}

int socketOption(int fd, int option, int* value) {
    socklen_t size = sizeof(*value);
    return ::getsockopt(fd, SOL_SOCKET, option, value, &size);
}

}  // namespace

status_t takeHandedSocket(unique_fd* out, String8* error) {
    long pid = parseDigits(std::getenv("LISTEN_PID"));
    const char* countText = std::getenv("LISTEN_FDS");
    long count = countText == nullptr ? 0 : parseDigits(countText);
    bool forThisProcess = pid > 0 && pid == ::getpid();
    ::unsetenv("LISTEN_PID");
    ::unsetenv("LISTEN_FDS");
    ::unsetenv("LISTEN_FDNAMES");
    if (!forThisProcess || count == 0) return OK;
    if (count != 1) {
        return refuse(error, "the service manager must hand over exactly one socket (LISTEN_FDS)");
    }
    int domain = 0, type = 0, listening = 0;
    if (socketOption(kFirstHandedFd, SO_DOMAIN, &domain) != 0 ||
        socketOption(kFirstHandedFd, SO_TYPE, &type) != 0 ||
        socketOption(kFirstHandedFd, SO_ACCEPTCONN, &listening) != 0) {
        return failed(error, "descriptor 3 from the service manager is not a socket", errno);
    }
    if (domain != AF_UNIX || type != SOCK_STREAM || listening == 0) {
        return refuse(
            error, "descriptor 3 from the service manager is not a listening Unix stream socket");
    }
    int flags = ::fcntl(kFirstHandedFd, F_GETFL);
    if (flags < 0 || ::fcntl(kFirstHandedFd, F_SETFL, flags | O_NONBLOCK) != 0 ||
        ::fcntl(kFirstHandedFd, F_SETFD, FD_CLOEXEC) != 0) {
        return failed(error, "cannot set up the socket from the service manager", errno);
    }
    out->reset(kFirstHandedFd);
    return OK;
}

status_t notifyReady(String8* error) {
    const char* name = std::getenv("NOTIFY_SOCKET");
    if (name == nullptr || *name == '\0') return OK;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    size_t length = std::strlen(name);
    if ((name[0] != '/' && name[0] != '@') || length >= sizeof(address.sun_path)) {
        return refuse(error, "NOTIFY_SOCKET is neither a socket path nor an abstract name");
    }
    std::memcpy(address.sun_path, name, length);
    // An abstract name has no file: it starts with a NUL and runs to the address's end.
    bool abstract = name[0] == '@';
    if (abstract) address.sun_path[0] = '\0';
    auto size =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length + (abstract ? 0 : 1));
    unique_fd sock(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sock) return failed(error, "cannot tell the service manager it is ready", errno);
    static constexpr char kReady[] = "READY=1";
    // Never wait on the manager: a full queue is a failed notice, not a stalled registry.
    ssize_t sent = ::sendto(sock.get(), kReady, sizeof(kReady) - 1, MSG_NOSIGNAL | MSG_DONTWAIT,
                            reinterpret_cast<const sockaddr*>(&address), size);
    if (sent != static_cast<ssize_t>(sizeof(kReady) - 1)) {
        return failed(error, "cannot tell the service manager it is ready", sent < 0 ? errno : EIO);
    }
    return OK;
}

}  // namespace zorlek::registry
