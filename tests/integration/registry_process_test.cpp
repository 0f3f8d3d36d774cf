// SPDX-License-Identifier: Apache-2.0
// zorlek-registry as a program: where and how it puts its socket, refusing to start over
// a live registry, replacing a stale socket, cleaning up on SIGTERM and SIGINT, its log
// lines, its command line, and services coming back by themselves after a restart.

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <dirent.h>
#include <fstream>

#include "tests/integration/ipc_support.h"
#include "tests/platform/socket_helpers.h"

namespace zorlek::test {
namespace {

bool exists(const std::string& path) {
    struct stat info;
    return ::lstat(path.c_str(), &info) == 0;
}

mode_t modeOf(const std::string& path) {
    struct stat info;
    return ::lstat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

std::vector<std::string> entries(const std::string& folder) {
    std::vector<std::string> out;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return out;
    while (dirent* e = ::readdir(dir)) {
        std::string name = e->d_name;
        if (name != "." && name != "..") out.push_back(name);
    }
    ::closedir(dir);
    std::sort(out.begin(), out.end());
    return out;
}

bool answersAsRegistry(const std::string& path) {
    return static_cast<bool>(RegistryClient::connect(path.c_str(), 2000));
}

TEST(RegistryProcess, CreatesMissingFoldersAndAnOpenSocket) {
    TempDir dir;
    std::string folder = dir.path() + "/run/zorlek";
    std::string path = folder + "/registry.sock";
    // Whatever the umask, the folders and the socket get their modes.
    mode_t saved = ::umask(077);
    auto registry = startRegistryAt(path);
    ::umask(saved);
    ASSERT_TRUE(registry);
    EXPECT_EQ(modeOf(dir.path() + "/run"), 0755u);
    EXPECT_EQ(modeOf(folder), 0755u);
    struct stat info;
    ASSERT_EQ(::lstat(path.c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0666u);
    EXPECT_EQ(entries(folder), std::vector<std::string>{"registry.sock"}) << "no temporary left";
    EXPECT_TRUE(answersAsRegistry(path));
    EXPECT_EQ(registry->stop(SIGTERM), 0);
}

TEST(RegistryProcess, RemovesItsSocketOnTermAndInt) {
    for (int signal : {SIGTERM, SIGINT}) {
        TempDir dir;
        std::string path = dir.path() + "/reg.sock";
        auto registry = startRegistryAt(path);
        ASSERT_TRUE(registry);
        // Clients connected at the time do not keep it from ending.
        sp<RegistryClient> client = RegistryClient::connect(path.c_str(), 2000);
        ASSERT_TRUE(client);
        EXPECT_EQ(registry->stop(signal, 5000), 0) << signal;
        EXPECT_FALSE(exists(path)) << signal;
        EXPECT_TRUE(client->listServiceNames().empty());
    }
}

TEST(RegistryProcess, RefusesToStartOverALiveRegistry) {
    TempDir dir;
    std::string path = dir.path() + "/reg.sock";
    auto first = startRegistryAt(path);
    ASSERT_TRUE(first);
    RunResult second = runProgram({binPath("zorlek-registry")}, {"ZORLEK_REGISTRY=" + path});
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_EQ(second.err, "zorlek-registry: a registry is already running at " + path + "\n");
    EXPECT_TRUE(first->running());
    EXPECT_TRUE(answersAsRegistry(path)) << "the live one keeps its socket";
}

TEST(RegistryProcess, StartsOneAtATimeInAFolder) {
    TempDir dir;
    std::string path = dir.path() + "/reg.sock";
    // Another registry in the middle of its start holds the folder: this one waits for it
    // rather than checking the path while the other is about to take it.
    unique_fd folder(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(folder.valid());
    ASSERT_EQ(::flock(folder.get(), LOCK_EX), 0);
    auto waiting = Process::start({binPath("zorlek-registry")}, {"ZORLEK_REGISTRY=" + path});
    ASSERT_TRUE(waiting);
    EXPECT_TRUE(waitUntilAsleep(waiting->pid(), 5000));
    EXPECT_FALSE(exists(path)) << "it did not wait for the folder";
    folder.reset();
    EXPECT_TRUE(waitUntil([&] { return answersAsRegistry(path); }, 5000));
    // Two started together: exactly one keeps the path, the other says why it stopped.
    TempDir race;
    std::string racePath = race.path() + "/reg.sock";
    auto a = Process::start({binPath("zorlek-registry")}, {"ZORLEK_REGISTRY=" + racePath});
    auto b = Process::start({binPath("zorlek-registry")}, {"ZORLEK_REGISTRY=" + racePath});
    ASSERT_TRUE(a && b);
    ASSERT_TRUE(waitUntil([&] { return !a->running() || !b->running(); }, 5000));
    Process* loser = a->running() ? b.get() : a.get();
    EXPECT_EQ(loser->wait(0), 1);
    EXPECT_EQ(loser->errText(),
              "zorlek-registry: a registry is already running at " + racePath + "\n");
    EXPECT_TRUE(answersAsRegistry(racePath));
}

TEST(RegistryProcess, RefusesToStartOverSomethingElseListening) {
    TempDir dir;
    std::string path = dir.path() + "/reg.sock";
    unique_fd listener = bindUnixSocket(path, true);
    ASSERT_TRUE(listener.valid());
    RunResult run = runProgram({binPath("zorlek-registry")},
                               {"ZORLEK_REGISTRY=" + path, "ZORLEK_CALL_TIMEOUT_MS=200"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "zorlek-registry: something is already listening at " + path + "\n");
    EXPECT_TRUE(exists(path));
}

TEST(RegistryProcess, ReplacesAStaleSocket) {
    TempDir dir;
    std::string path = dir.path() + "/reg.sock";
    {
        // A socket file whose listener is gone, as a crashed registry leaves it.
        unique_fd gone = bindUnixSocket(path, false);
        ASSERT_TRUE(gone.valid());
    }
    ASSERT_TRUE(exists(path));
    auto registry = startRegistryAt(path);
    ASSERT_TRUE(registry);
    EXPECT_TRUE(answersAsRegistry(path));
    EXPECT_EQ(registry->stop(SIGTERM), 0);
    EXPECT_FALSE(exists(path));
}

TEST(RegistryProcess, LeavesAFileThatIsNotASocketAlone) {
    TempDir dir;
    std::string path = dir.path() + "/reg.sock";
    { std::ofstream(path) << "precious"; }
    RunResult run = runProgram({binPath("zorlek-registry")}, {"ZORLEK_REGISTRY=" + path});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "zorlek-registry: not a socket, left alone: " + path + "\n");
    std::ifstream in(path);
    std::string content;
    in >> content;
    EXPECT_EQ(content, "precious");
}

TEST(RegistryProcess, DoesNotRemoveASocketThatIsNoLongerItsOwn) {
    TempDir dir;
    std::string path = dir.path() + "/reg.sock";
    auto old = startRegistryAt(path);
    ASSERT_TRUE(old);
    // Someone removed the old socket and a new registry took the path.
    ASSERT_EQ(::unlink(path.c_str()), 0);
    auto current = startRegistryAt(path);
    ASSERT_TRUE(current);
    EXPECT_EQ(old->stop(SIGTERM), 0);
    EXPECT_TRUE(answersAsRegistry(path));
}

TEST(RegistryProcess, LogsEachRegistrationAndRemoval) {
    Registry registry;
    ASSERT_TRUE(registry.ready());
    auto echo = registry.startEcho({"b", "a\xC2\x85\xE2\x80\xAE"});
    ASSERT_TRUE(echo);
    EXPECT_EQ(echo->stop(SIGTERM), 0);
    std::string pid = std::to_string(echo->pid());
    EXPECT_TRUE(waitUntil(
        [&] { return registry.process()->errText().find("removed b") != std::string::npos; },
        3000));
    // Control units, and characters that reorder text, are shown escaped in names.
    EXPECT_EQ(registry.process()->errText(), "zorlek-registry: registered b (pid " + pid +
                                                 ", uid " + std::to_string(::geteuid()) +
                                                 ")\n"
                                                 "zorlek-registry: registered a\\x85\\u202E (pid " +
                                                 pid + ", uid " + std::to_string(::geteuid()) +
                                                 ")\n"
                                                 "zorlek-registry: removed a\\x85\\u202E (pid " +
                                                 pid +
                                                 ")\n"
                                                 "zorlek-registry: removed b (pid " +
                                                 pid + ")\n");
}

TEST(RegistryProcess, RefusesAPeerOfAnotherProtocolVersionAndSaysSo) {
    Registry registry;
    ASSERT_TRUE(registry.ready());
    struct Case {
        const char* what;
        Bytes hello;
        int32_t version;
    };
    const Case cases[] = {
        // Before version 3 a handshake was a 16-byte header: it is refused as it stands.
        {"version 2, as it greeted", cat({i32(MSG_HELLO), i32(kProtocolMagic), i32(2), i32(0)}), 2},
        {"version 1, as it greeted", cat({i32(MSG_HELLO), i32(kProtocolMagic), i32(1), i32(0)}), 1},
        {"version 2 in this framing", header(MSG_HELLO, kProtocolMagic, 2, 0), 2},
        {"version 3", header(MSG_HELLO, kProtocolMagic, 3, 0), 3},
        {"version 5", header(MSG_HELLO, kProtocolMagic, 5, 0), 5},
    };
    std::string log;
    for (const Case& c : cases) {
        RawPeer peer(registry);
        ASSERT_TRUE(peer.sendBytes(c.hello)) << c.what;
        // Its first 16 bytes, which every version reads alike, are the refusal.
        Bytes answer = readAvailable(peer.sock.get(), 2000);
        EXPECT_EQ(answer, header(MSG_HELLO, kProtocolMagic, -EPROTONOSUPPORT, 0, 0,
                                 static_cast<uint32_t>(kProtocolVersion)))
            << c.what;
        EXPECT_TRUE(peer.closedByPeer(2000)) << c.what;
        log += "zorlek-registry: refused a peer of protocol version " + std::to_string(c.version) +
               " (pid " + std::to_string(::getpid()) + ", uid " + std::to_string(::getuid()) +
               "): this registry speaks version " + std::to_string(kProtocolVersion) + "\n";
    }
    EXPECT_TRUE(waitUntil([&] { return registry.process()->errText() == log; }, 3000))
        << registry.process()->errText();
    // A client of this version is served as ever.
    EXPECT_TRUE(answersAsRegistry(registry.socketPath()));
}

TEST(RegistryProcess, AFullLogPipeDoesNotStopIt) {
    TempDir dir;
    std::string path = dir.path() + "/reg.sock";
    // Standard error is a pipe that nobody reads, full before the registry starts.
    int log[2];
    ASSERT_EQ(::pipe2(log, O_CLOEXEC | O_NONBLOCK), 0);
    unique_fd logRead(log[0]), logWrite(log[1]);
    ASSERT_GT(::fcntl(logWrite.get(), F_SETPIPE_SZ, 4096), 0);
    while (::write(logWrite.get(), "........", 8) == 8) {
    }
    ASSERT_EQ(::fcntl(logWrite.get(), F_SETFL, 0), 0);  // the registry gets it blocking
    auto registry =
        Process::start({binPath("zorlek-registry")}, {"ZORLEK_REGISTRY=" + path}, logWrite.get());
    ASSERT_TRUE(registry);
    ASSERT_TRUE(waitUntil([&] { return answersAsRegistry(path); }, 5000));
    // Every registration and removal wants a log line; none may hold the registry up.
    std::vector<std::string> names;
    for (int i = 0; i < 20; ++i) names.push_back("svc" + std::to_string(i));
    std::vector<std::string> echoArgv = {binPath("zorlek-echo")};
    echoArgv.insert(echoArgv.end(), names.begin(), names.end());
    auto echo =
        Process::start(echoArgv, {"ZORLEK_REGISTRY=" + path, "ZORLEK_CALL_TIMEOUT_MS=2000"});
    ASSERT_TRUE(echo);
    EXPECT_TRUE(echo->waitForLine("ready", 5000)) << echo->errText();
    RunResult check = runProgram({binPath("zorlek"), "check", "svc19"},
                                 {"ZORLEK_REGISTRY=" + path, "ZORLEK_CALL_TIMEOUT_MS=2000"});
    EXPECT_EQ(check.out, "Service svc19: found\n");
    EXPECT_EQ(registry->stop(SIGTERM), 0);
}

TEST(RegistryProcess, CommandLine) {
    TempDir dir;
    std::vector<std::string> env = {"ZORLEK_REGISTRY=" + dir.path() + "/r.sock"};
    RunResult help = runProgram({binPath("zorlek-registry"), "-h"}, env);
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(
        help.out.rfind("Usage: zorlek-registry [-h] [--allow-any-user] [--policy-dir DIR]...\n", 0),
        0u);
    // It names the policy folders it reads: the packages' beside the program, then /etc's.
    std::string top = binPath("").substr(0, binPath("").rfind("/bin/"));
    EXPECT_NE(help.out.find("the policy is read from " + top +
                            "/share/zorlek/registry.d /etc/zorlek/registry.d\n"),
              std::string::npos)
        << help.out;
    EXPECT_EQ(help.err, "");
    RunResult noFolder = runProgram({binPath("zorlek-registry"), "--policy-dir"}, env);
    EXPECT_EQ(noFolder.exitCode, 2);
    RunResult longHelp = runProgram({binPath("zorlek-registry"), "--help"}, env);
    EXPECT_EQ(longHelp.out, help.out);
    RunResult bogus = runProgram({binPath("zorlek-registry"), "--bogus"}, env);
    EXPECT_EQ(bogus.exitCode, 2);
    EXPECT_EQ(bogus.out, "");
    EXPECT_NE(bogus.err.find("Usage: zorlek-registry"), std::string::npos);
    RunResult extra = runProgram({binPath("zorlek-registry"), "extra"}, env);
    EXPECT_EQ(extra.exitCode, 2);
    EXPECT_EQ(extra.err.rfind("zorlek-registry: unexpected argument: extra\n", 0), 0u);
    EXPECT_FALSE(exists(dir.path() + "/r.sock")) << "none of these started a registry";
}

TEST(RegistryProcess, ServicesComeBackByThemselvesAfterARestart) {
    TempDir dir;
    std::string path = dir.path() + "/reg.sock";
    auto registry = startRegistryAt(path);
    ASSERT_TRUE(registry);
    auto echo = Process::start({binPath("zorlek-echo"), "one", "two"}, {"ZORLEK_REGISTRY=" + path});
    ASSERT_TRUE(echo && echo->waitForLine("ready", 10000));
    sp<RegistryClient> client = RegistryClient::connect(path.c_str(), 2000);
    sp<IBinder> kept = client->lookupService(String16("one"));
    ASSERT_TRUE(kept);

    EXPECT_EQ(registry->stop(SIGTERM), 0);
    // The service outlives its registry, and open channels keep working meanwhile.
    Parcel reply;
    EXPECT_EQ(kept->sendTransaction(7, Parcel(), &reply, 0), OK);
    // A stand-in takes each try of the service and hangs up, ten times, so that its pause
    // has grown to the cap: uncapped, its next try would be 10 s away.
    {
        unique_fd standIn = bindUnixSocket(path, true);
        ASSERT_TRUE(standIn.valid());
        for (int tries = 0; tries < 10; ++tries) {
            pollfd knock{standIn.get(), POLLIN, 0};
            ASSERT_EQ(::poll(&knock, 1, 5000), 1) << "try " << tries;
            unique_fd taken(::accept4(standIn.get(), nullptr, nullptr, SOCK_CLOEXEC));
        }
        ::unlink(path.c_str());
    }

    registry = startRegistryAt(path);
    ASSERT_TRUE(registry);
    bool back = waitUntil(
        [&] {
            sp<RegistryClient> c = RegistryClient::connect(path.c_str(), 1000);
            return c && asUtf8(c->listServiceNames()) == std::vector<std::string>{"one", "two"};
        },
        3000);
    // A guard ten times what the capped pause of 250 ms and the registration take.
    EXPECT_TRUE(back) << "not back within 3 s of the new registry";
    sp<IBinder> again = RegistryClient::connect(path.c_str(), 2000)->lookupService(String16("two"));
    ASSERT_TRUE(again);
    EXPECT_EQ(again->sendTransaction(8, Parcel(), &reply, 0), OK);
    EXPECT_EQ(echo->stop(SIGTERM), 0);
    // "ready" was written once, not again after registering anew: read to its end.
    EXPECT_FALSE(echo->waitForLine("never", 5000));
    EXPECT_EQ(echo->outText(), "ready\n");
}

}  // namespace
}  // namespace zorlek::test

namespace zorlek::test {
namespace {

TEST(RegistryProcess, RefusesAFolderOthersCanWriteToAndChangesNothingByPath) {
    // In a folder another user can write to, that user could swap a link in for the
    // temporary socket between its creation and any change made by path.
    struct Case {
        const char* what;
        mode_t mode;
        uid_t owner;
    };
    const Case cases[] = {
        {"writable by all", 0777, ::geteuid()},
        {"sticky and writable by all, as /tmp", 01777, ::geteuid()},
        {"writable by the group", 0775, ::geteuid()},
        {"owned by another user", 0755, 65534},
    };
    for (const Case& c : cases) {
        if (c.owner != ::geteuid() && ::geteuid() != 0) continue;
        TempDir dir;
        std::string folder = dir.path() + "/shared";
        ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
        // A file of this user's that a link in the folder points at, named as the
        // temporary socket would be.
        std::string victim = dir.path() + "/victim";
        { std::ofstream(victim) << "mine"; }
        ASSERT_EQ(::chmod(victim.c_str(), 0600), 0);
        ASSERT_EQ(::symlink(victim.c_str(), (folder + "/.zr-any").c_str()), 0);
        ASSERT_EQ(::chmod(folder.c_str(), c.mode), 0) << c.what;
        ASSERT_EQ(::chown(folder.c_str(), c.owner, static_cast<gid_t>(-1)), 0) << c.what;
        RunResult run = runProgram({binPath("zorlek-registry")},
                                   {"ZORLEK_REGISTRY=" + folder + "/reg.sock"}, 5000);
        EXPECT_EQ(run.exitCode, 1) << c.what;
        EXPECT_EQ(run.err,
                  "zorlek-registry: refusing a folder that users other than root and this one "
                  "can write to: " +
                      folder + "\n")
            << c.what;
        EXPECT_FALSE(exists(folder + "/reg.sock")) << c.what;
        EXPECT_EQ(modeOf(victim), 0600u) << c.what;
    }
    // A folder of its own that only it can write to is taken, whatever its mode for reading.
    TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0711), 0);
    auto registry = startRegistryAt(dir.path() + "/reg.sock");
    ASSERT_TRUE(registry);
    EXPECT_EQ(modeOf(dir.path() + "/reg.sock"), 0666u);
    EXPECT_EQ(registry->stop(SIGTERM), 0);
}

}  // namespace
}  // namespace zorlek::test
