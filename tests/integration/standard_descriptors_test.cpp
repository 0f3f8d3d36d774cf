// SPDX-License-Identifier: Apache-2.0
// The programs started with standard input, output or error closed: no socket they open
// takes descriptor 0, 1 or 2, so the tool never writes its result into its registry
// connection, and the registry and the services work as ever and log into no peer's socket.

#include <unistd.h>

#include "tests/integration/ipc_support.h"
#include "tests/platform/fake_registry.h"

namespace zorlek::test {
namespace {

// `argv` run by a shell that first closes the descriptors `closing` (e.g. ">&-").
std::vector<std::string> withClosed(const std::string& closing, std::vector<std::string> argv) {
    argv.insert(argv.begin(), {"/bin/sh", "-c", "exec \"$0\" \"$@\" " + closing});
    return argv;
}

// What /proc shows descriptor `fd` of `pid` to be.
std::string descriptorOf(pid_t pid, int fd) {
    char target[256];
    std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
    ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
    return length < 0 ? "(closed)" : std::string(target, static_cast<size_t>(length));
}

TEST(StandardDescriptors, TheToolWritesNothingIntoItsRegistryConnection) {
    for (const char* closing : {">&-", "<&- >&- 2>&-"}) {
        TempDir dir;
        std::string path = dir.path() + "/reg.sock";
        bool lookedUp = false;
        Bytes after;  // what came after the lookup, before the tool closed
        bool ended = false;
        {
            PlayedRegistry registry(path, [&](int fd, int) {
                if (!answerHello(fd)) return;
                Request lookup = receiveRequest(fd);
                lookedUp = lookup.status == OK && lookup.header.type == MSG_LOOKUP;
                if (!lookedUp || reply(fd, MSG_LOOKUP_REPLY, -ENOENT) != OK) return;
                uint8_t bytes[256];
                for (;;) {
                    pollfd p{fd, POLLIN, 0};
                    if (::poll(&p, 1, kLongMs) != 1) return;
                    ssize_t n = ::recv(fd, bytes, sizeof bytes, 0);
                    if (n <= 0) break;
                    after.insert(after.end(), bytes, bytes + n);
                }
                ended = true;
            });
            RunResult run = runProgram(withClosed(closing, {binPath("zorlek"), "check", "svc"}),
                                       {"ZORLEK_REGISTRY=" + path});
            EXPECT_EQ(run.exitCode, 0) << closing << ": " << run.err;
        }
        EXPECT_TRUE(lookedUp) << closing;
        EXPECT_TRUE(ended) << closing;
        EXPECT_EQ(std::string(after.begin(), after.end()), "") << closing;
    }
}

TEST(StandardDescriptors, TheRegistryAndAServiceWorkAndLogIntoNoSocket) {
    TempDir dir;
    std::string path = dir.path() + "/registry.sock";
    const EnvChanges env = {"ZORLEK_REGISTRY=" + path};
    const std::string allClosed = "<&- >&- 2>&-";
    auto registry = Process::start(withClosed(allClosed, {binPath("zorlek-registry")}), env);
    ASSERT_TRUE(registry && waitForSocket(path, 10000));
    auto echo = Process::start(withClosed(allClosed, {binPath("zorlek-echo"), "svc"}), env);
    auto adder = Process::start(
        withClosed(allClosed, {std::string(ZORLEK_SAMPLES_DIR) + "/zorlek-sample-adder"}), env);
    ASSERT_TRUE(echo && adder);
    // They cannot say that they are ready: their names show it.
    EXPECT_TRUE(waitUntil(
        [&] {
            RunResult list = runProgram({binPath("zorlek"), "list"}, env);
            return list.out ==
                   "Found 2 services:\n0\tsample.adder: [sample.IAdder]\n1\tsvc: [zorlek.IEcho]\n";
        },
        10000));
    RunResult call = runProgram({binPath("zorlek"), "call", "svc", "5", "i32", "7"}, env);
    EXPECT_EQ(call.exitCode, 0) << call.err;
    EXPECT_EQ(call.out.rfind("Result: Parcel(40 bytes)\n  00000000: 00000005 ", 0), 0u) << call.out;
    const std::pair<const char*, Process*> programs[] = {
        {"zorlek-registry", registry.get()}, {"zorlek-echo", echo.get()}, {"adder", adder.get()}};
    for (const auto& [name, process] : programs) {
        for (int fd = 0; fd <= 2; ++fd) {
            EXPECT_EQ(descriptorOf(process->pid(), fd), "/dev/null") << name << ", " << fd;
        }
    }
}

}  // namespace
}  // namespace zorlek::test
