// SPDX-License-Identifier: Apache-2.0
// Meeting a service manager: the socket it hands over in descriptor 3 (taken only when it
// is meant for this process and is a listening Unix stream socket) and the ready notice;
// then the real registry run that way.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "harness/harness.h"
#include "registry/log.h"
#include "registry/systemd.h"

namespace zorlek::registry {
namespace {

using test::TempDir;

// What to put in descriptor 3 before the call.
unique_fd listeningUnix(const TempDir& dir) {
    return test::bindUnixSocket(dir.path() + "/handed", true);
}
unique_fd unixOfType(int type) {
    return unique_fd(::socket(AF_UNIX, type | SOCK_CLOEXEC, 0));
}
unique_fd listeningTcp() {
    unique_fd sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(sock.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(sock.get(), 1) != 0) {
        return {};
    }
    return sock;
}

struct HandedCase {
    const char* what;
    bool pidIsOurs;
    const char* fds;  // LISTEN_FDS; null leaves it unset
    std::function<unique_fd(const TempDir&)> make;
    status_t status;
    bool taken;
};

TEST(HandedSocket, TakenOnlyWhenMeantForUsAndListening) {
    auto unixListener = [](const TempDir& dir) { return listeningUnix(dir); };
    const HandedCase cases[] = {
        {"listening Unix stream socket", true, "1", unixListener, OK, true},
        {"meant for another process", false, "1", unixListener, OK, false},
        {"no descriptors", true, "0", unixListener, OK, false},
        {"LISTEN_FDS unset", true, nullptr, unixListener, OK, false},
        {"two descriptors", true, "2", unixListener, -EINVAL, false},
        {"LISTEN_FDS not a number", true, "one", unixListener, -EINVAL, false},
        {"LISTEN_FDS with a sign", true, "+1", unixListener, -EINVAL, false},
        {"not listening", true, "1", [](const TempDir&) { return unixOfType(SOCK_STREAM); },
         -EINVAL, false},
        {"datagram socket", true, "1", [](const TempDir&) { return unixOfType(SOCK_DGRAM); },
         -EINVAL, false},
        {"TCP listener", true, "1", [](const TempDir&) { return listeningTcp(); }, -EINVAL, false},
        {"a file", true, "1",
         [](const TempDir&) { return unique_fd(::open("/dev/null", O_RDONLY | O_CLOEXEC)); },
         -ENOTSOCK, false},
        {"nothing open", true, "1", [](const TempDir&) { return unique_fd(); }, -EBADF, false},
    };
    for (const HandedCase& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        // Made away from 3 (which may be free and so handed out), then put in place.
        unique_fd made = c.make(dir);
        made.reset(made ? ::fcntl(made.get(), F_DUPFD_CLOEXEC, 10) : -1);
        ::close(3);
        if (made) {
            ASSERT_EQ(::dup2(made.get(), 3), 3);
        }
        made.reset();
        std::string pid = std::to_string(c.pidIsOurs ? ::getpid() : ::getpid() + 1);
        ::setenv("LISTEN_PID", pid.c_str(), 1);
        if (c.fds != nullptr) ::setenv("LISTEN_FDS", c.fds, 1);
        ::setenv("LISTEN_FDNAMES", "registry", 1);

        unique_fd out;
        String8 error;
        EXPECT_EQ(takeHandedSocket(&out, &error), c.status);
        EXPECT_EQ(out.get(), c.taken ? 3 : -1);
        EXPECT_EQ(error.size() != 0, c.status != OK) << error.c_str();
        for (const char* name : {"LISTEN_PID", "LISTEN_FDS", "LISTEN_FDNAMES"}) {
            EXPECT_EQ(std::getenv(name), nullptr) << name;
        }
        if (c.taken) {
            EXPECT_NE(::fcntl(3, F_GETFL) & O_NONBLOCK, 0);
            EXPECT_NE(::fcntl(3, F_GETFD) & FD_CLOEXEC, 0);
        }
        out.reset();
        ::close(3);
    }
}

// Waits up to `timeoutMs` for one datagram on `sock`; empty when none came.
std::string receiveNotice(int sock, int timeoutMs) {
    pollfd p{sock, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) != 1) return {};
    char buffer[256];
    ssize_t n = ::recv(sock, buffer, sizeof buffer, MSG_DONTWAIT);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

unique_fd boundDatagram(const std::string& name, bool abstract) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + (abstract ? 1 : 0), name.data(), name.size());
    unique_fd sock(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + 1);
    if (::bind(sock.get(), reinterpret_cast<sockaddr*>(&address), size) != 0) return {};
    return sock;
}

TEST(ReadyNotice, SentToPathOrAbstractNameAndRefusedOtherwise) {
    TempDir dir;
    std::string path = dir.path() + "/notify";
    std::string abstract = "zorlek-test-notify-" + std::to_string(::getpid());
    unique_fd atPath = boundDatagram(path, false);
    unique_fd atName = boundDatagram(abstract, true);
    ASSERT_TRUE(atPath && atName);
    std::string named = "@" + abstract, tooLong = "/" + std::string(200, 'x');
    std::string missing = dir.path() + "/missing";
    struct Case {
        const char* value;  // NOTIFY_SOCKET; null leaves it unset
        int listener;
        status_t status;
    } const cases[] = {
        {nullptr, -1, OK},
        {"", -1, OK},
        {path.c_str(), atPath.get(), OK},
        {named.c_str(), atName.get(), OK},
        {"relative/notify", -1, -EINVAL},
        {tooLong.c_str(), -1, -EINVAL},
        {missing.c_str(), -1, -ENOENT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value == nullptr ? "(unset)" : c.value);
        ::unsetenv("NOTIFY_SOCKET");
        if (c.value != nullptr) ::setenv("NOTIFY_SOCKET", c.value, 1);
        String8 error;
        EXPECT_EQ(notifyReady(&error), c.status) << error.c_str();
        if (c.listener >= 0) {
            EXPECT_EQ(receiveNotice(c.listener, 2000), "READY=1");
        }
    }
    // Nothing stray reached either listener.
    EXPECT_EQ(receiveNotice(atPath.get(), 0), "");
    EXPECT_EQ(receiveNotice(atName.get(), 0), "");
}

TEST(JournalStream, NamesTheFileOnTheDescriptorExactly) {
    TempDir dir;
    unique_fd file(::open((dir.path() + "/log").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
    struct stat info {};
    ASSERT_EQ(::fstat(file.get(), &info), 0);
    std::string device = std::to_string(info.st_dev), inode = std::to_string(info.st_ino);
    const struct {
        const char* what;
        std::string value;
        bool journal;
    } cases[] = {
        {"device and inode", device + ":" + inode, true},
        {"another inode", device + ":" + std::to_string(info.st_ino + 1), false},
        {"another device", std::to_string(info.st_dev + 1) + ":" + inode, false},
        {"trailing bytes", device + ":" + inode + "x", false},
        {"inode missing", device + ":", false},
        {"empty", "", false},
        {"not numbers", "a:b", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isJournalStream(c.value.c_str(), file.get()), c.journal) << c.what;
    }
    EXPECT_FALSE(isJournalStream(nullptr, file.get()));
    EXPECT_FALSE(isJournalStream((device + ":" + inode).c_str(), -1)) << "a closed descriptor";
}

TEST(ActivatedRegistry, ServesTheHandedSocketSaysReadyAndLeavesItInPlace) {
    TempDir dir;
    std::string socketPath = dir.path() + "/registry.sock";
    unique_fd listener = test::bindUnixSocket(socketPath, true);
    unique_fd notices = boundDatagram(dir.path() + "/notify", false);
    ASSERT_TRUE(listener && notices);
    // The manager's side: the socket lands in descriptor 3 of the registry, whose own
    // process id goes in LISTEN_PID (the shell's, kept across exec).
    unique_fd inheritable(::fcntl(listener.get(), F_DUPFD, 10));
    std::string fd = std::to_string(inheritable.get());
    auto registry = test::Process::start(
        {"/bin/bash", "-c",
         "export LISTEN_PID=$$ LISTEN_FDS=1 JOURNAL_STREAM=$(stat -L -c %d:%i /proc/self/fd/2);"
         " exec \"$0\" 3<&" +
             fd + " " + fd + "<&-",
         test::binPath("zorlek-registry")},
        {"NOTIFY_SOCKET=" + dir.path() + "/notify", "ZORLEK_REGISTRY=" + dir.path() + "/unused"});
    inheritable.reset();
    listener.reset();
    ASSERT_TRUE(registry);
    EXPECT_EQ(receiveNotice(notices.get(), 10000), "READY=1");
    auto listing =
        test::runProgram({test::binPath("zorlek"), "list"}, {"ZORLEK_REGISTRY=" + socketPath});
    EXPECT_EQ(listing.out, "Found 0 services:\n");
    EXPECT_EQ(listing.exitCode, 0) << listing.err;
    // Its standard error is the journal's stream: the journal names the program itself.
    auto echo = test::Process::start({test::binPath("zorlek-echo"), "journal.name"},
                                     {"ZORLEK_REGISTRY=" + socketPath});
    ASSERT_TRUE(echo && echo->waitForLine("ready"));
    EXPECT_EQ(registry->errText().rfind("registered journal.name (pid ", 0), 0u)
        << registry->errText();
    EXPECT_EQ(registry->stop(), 0) << registry->errText();
    struct stat info;
    EXPECT_EQ(::lstat(socketPath.c_str(), &info), 0);
    EXPECT_EQ(::access((dir.path() + "/unused").c_str(), F_OK), -1);
}

}  // namespace
}  // namespace zorlek::registry
