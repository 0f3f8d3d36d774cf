// SPDX-License-Identifier: Apache-2.0
#include "registry/listen_socket.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/ipc/registry_client.h"
#include "platform/transport/fd_closer.h"

namespace zorlek::registry {
namespace {

status_t fail(String8* error, const char* what, const std::string& path, int errnum) {
    error->clear();
    error->append(what).append(path.c_str());
    if (errnum != 0) error->append(": ").append(std::strerror(errnum));
    return errnum != 0 ? -errnum : -EEXIST;
}

// mkdir -p with mode 0755 for every folder it creates.
status_t makeFolders(const std::string& folder, String8* error) {
    if (folder.empty()) return OK;
    struct stat info;
    if (::stat(folder.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) return OK;
        return fail(error, "not a folder: ", folder, ENOTDIR);
    }
    size_t slash = folder.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
        status_t status = makeFolders(folder.substr(0, slash), error);
        if (status != OK) return status;
    }
    // The umask must not narrow the mode, as every local user needs to reach the socket,
    // nor widen it. Set for the call rather than changed by path afterwards.
    mode_t saved = ::umask(022);
    int made = ::mkdir(folder.c_str(), 0755);
    int savedErrno = errno;
    ::umask(saved);
    if (made != 0 && savedErrno != EEXIST) {
        return fail(error, "cannot create the folder ", folder, savedErrno);
    }
    return OK;
}

// A folder only root and this user can write to: nobody else can swap what lies in it
// between the checks below and the rename that puts the socket in place.
bool trustedFolder(const struct stat& info) {
    return (info.st_uid == 0 || info.st_uid == ::geteuid()) &&
           (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool fillAddress(const std::string& path, sockaddr_un* address) {
    *address = sockaddr_un{};
    address->sun_family = AF_UNIX;
    if (path.size() >= sizeof(address->sun_path)) return false;
    std::memcpy(address->sun_path, path.data(), path.size());
    return true;
}

// Locks `folder` into `lock` for the start, after checking that only root and this user
// may write to it.
status_t lockFolder(const std::string& folder, unique_fd* lock, String8* error) {
    // Checking for a live registry and renaming the new socket into place must be one
    // step: otherwise two registries starting together both find the path free and the
    // second rename silently takes it from the first. The lock is held only for this
    // short start (the probe is bounded) and goes with `lock`.
    lock->reset(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!*lock) return fail(error, "cannot open the folder ", folder, errno);
    while (::flock(lock->get(), LOCK_EX) != 0) {
        if (errno != EINTR) return fail(error, "cannot lock the folder ", folder, errno);
    }
    struct stat info;
    if (::fstat(lock->get(), &info) != 0) return fail(error, "cannot stat ", folder, errno);
    if (!trustedFolder(info)) {
        fail(error,
             "refusing a folder that users other than root and this one can write to: ", folder, 0);
        return -EPERM;
    }
    return OK;
}

// Removes the socket at `path` when nothing listens there any more; refuses anything
// else that lies there.
status_t clearStaleSocket(const std::string& path, int probeTimeoutMs, String8* error) {
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0) return OK;
    if (!S_ISSOCK(info.st_mode)) return fail(error, "not a socket, left alone: ", path, 0);
    unique_fd probe;
    status_t status = connectToRegistry(path.c_str(), probeTimeoutMs, &probe);
    if (status == OK) return fail(error, "a registry is already running at ", path, 0);
    if (status != -ECONNREFUSED) {
        // Something accepted the connection (or the backlog is full): it is alive, so its
        // socket is not ours to remove.
        return fail(error, "something is already listening at ", path, 0);
    }
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        return fail(error, "cannot remove the stale socket ", path, errno);
    }
    return OK;
}

// Binds a listening socket at `temporary` and renames it to `path`.
status_t bindAndPlace(const std::string& temporary, const std::string& path, unique_fd* out,
                      String8* error) {
    sockaddr_un temporaryAddress;
    if (!fillAddress(temporary, &temporaryAddress)) {
        return fail(error, "socket path too long: ", path, ENAMETOOLONG);
    }
    ::unlink(temporary.c_str());
    unique_fd sock(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!sock) return fail(error, "cannot create a socket for ", path, errno);
    // The socket file is made mode 0666 by bind itself, under this umask: nothing is ever
    // changed by path, where a swapped-in link could redirect it.
    mode_t savedMask = ::umask(0111);
    int bound = ::bind(sock.get(), reinterpret_cast<sockaddr*>(&temporaryAddress),
                       sizeof(temporaryAddress));
    int bindErrno = errno;
    ::umask(savedMask);
    if (bound != 0) return fail(error, "cannot bind ", temporary, bindErrno);
    // Every connection inherits this from the listener when it is made, before anyone can
    // send on it: no peer can hand the registry a descriptor (on a kernel that can refuse).
    refuseDescriptors(sock.get());
    if (::listen(sock.get(), SOMAXCONN) != 0 || ::rename(temporary.c_str(), path.c_str()) != 0) {
        int savedErrno = errno;
        ::unlink(temporary.c_str());
        return fail(error, "cannot set up the socket ", path, savedErrno);
    }
    *out = std::move(sock);
    return OK;
}

}  // namespace

status_t openListeningSocket(const char* pathText, int probeTimeoutMs, unique_fd* out,
                             SocketIdentity* identity, String8* error) {
    std::string path(pathText);
    size_t slash = path.find_last_of('/');
    // The folder keeps its slash only when it is the root ("/sock" lies in "/").
    std::string folder =
        slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
    sockaddr_un address;
    if (!fillAddress(path, &address))
        return fail(error, "socket path too long: ", path, ENAMETOOLONG);
    status_t status = makeFolders(folder, error);
    unique_fd folderLock;
    if (status == OK) status = lockFolder(folder, &folderLock, error);
    if (status == OK) status = clearStaleSocket(path, probeTimeoutMs, error);
    if (status != OK) return status;
    // A short temporary name in the same folder, so that rename() is atomic.
    std::string temporary =
        (folder == "/" ? std::string() : folder) + "/.zr" + std::to_string(::getpid());
    unique_fd sock;
    status = bindAndPlace(temporary, path, &sock, error);
    if (status != OK) return status;
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) return fail(error, "cannot stat ", path, errno);
    identity->device = info.st_dev;
    identity->inode = info.st_ino;
    *out = std::move(sock);
    return OK;
}

void removeOwnSocket(const char* path, const SocketIdentity& identity) {
    struct stat info;
    if (::lstat(path, &info) != 0) return;
    if (info.st_dev == identity.device && info.st_ino == identity.inode) ::unlink(path);
}

}  // namespace zorlek::registry
