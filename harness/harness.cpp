// SPDX-License-Identifier: Apache-2.0
#include "harness/harness.h"

#include <dirent.h>

#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace zorlek::test {
namespace {

int64_t nowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

int statusOf(int waitStatus) {
    if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
    return -1;
}

std::vector<std::string> childEnvironment(const EnvChanges& changes) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        if (entry.rfind("ZORLEK_REGISTRY=", 0) == 0) continue;
        if (entry.rfind("ZORLEK_CALL_TIMEOUT_MS=", 0) == 0) continue;
        env.push_back(entry);
    }
    for (const std::string& change : changes) {
        bool remove = !change.empty() && change[0] == '-';
        std::string key = remove ? change.substr(1) : change.substr(0, change.find('='));
        std::erase_if(env, [&](const std::string& e) { return e.rfind(key + "=", 0) == 0; });
        if (!remove) env.push_back(change);
    }
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (std::string& s : strings) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

// Starts argv in a new process group with the given descriptors as its stdin, stdout
// and stderr; -1 on failure.
pid_t spawn(const std::vector<std::string>& argv, const EnvChanges& changes, int in, int out,
            int err) {
    std::vector<std::string> args = argv;
    std::vector<std::string> env = childEnvironment(changes);
    std::vector<char*> argp = pointers(args);
    std::vector<char*> envp = pointers(env);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in, 0);
    posix_spawn_file_actions_adddup2(&actions, out, 1);
    posix_spawn_file_actions_adddup2(&actions, err, 2);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(
        &attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setpgroup(&attr, 0);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argp[0], &actions, &attr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    return rc == 0 ? pid : -1;
}

// Waits for `pid` up to `timeoutMs`; its RunResult-style status, or -1 if still running.
int waitFor(pid_t pid, int timeoutMs) {
    int64_t deadline = nowMs() + timeoutMs;
    for (;;) {
        int ws = 0;
        pid_t r = waitpid(pid, &ws, WNOHANG);
        if (r == pid) return statusOf(ws);
        if (r < 0 && errno != EINTR) return -1;
        if (nowMs() >= deadline) return -1;
        usleep(2000);
    }
}

int openDevNull() {
    return open("/dev/null", O_RDWR | O_CLOEXEC);
}

}  // namespace

std::string binPath(const std::string& program) {
    return std::string(ZORLEK_BIN_DIR) + "/" + program;
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/zorlek-test-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
    if (path_.empty()) return;
    nftw(
        path_.c_str(),
        [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

RunResult runProgram(const std::vector<std::string>& argv, const EnvChanges& env, int timeoutMs) {
    RunResult result;
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) return result;
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return result;
    }
    int devNull = openDevNull();
    pid_t pid = spawn(argv, env, devNull, outPipe[1], errPipe[1]);
    close(devNull);
    close(outPipe[1]);
    close(errPipe[1]);
    int64_t deadline = nowMs() + timeoutMs;
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = pid > 0 ? 2 : 0;
    while (open > 0) {
        int64_t left = deadline - nowMs();
        if (left <= 0) {
            result.timedOut = true;
            break;
        }
        if (poll(fds, 2, static_cast<int>(left)) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buf[65536];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --open;
            }
        }
    }
    close(outPipe[0]);
    close(errPipe[0]);
    if (pid > 0) {
        if (result.timedOut) kill(-pid, SIGKILL);
        int left = static_cast<int>(deadline - nowMs());
        result.exitCode = waitFor(pid, result.timedOut ? 5000 : (left > 1000 ? left : 1000));
        if (result.exitCode < 0) {
            kill(-pid, SIGKILL);
            result.timedOut = true;
            result.exitCode = waitFor(pid, 5000);
        }
    }
    return result;
}

std::unique_ptr<Process> Process::start(const std::vector<std::string>& argv, const EnvChanges& env,
                                        int errFd) {
    std::unique_ptr<Process> process(new Process());
    process->dir_ = std::make_unique<TempDir>();
    int outPipe[2];
    if (process->dir_->path().empty() || pipe2(outPipe, O_CLOEXEC) != 0) return nullptr;
    std::string errPath = process->dir_->path() + "/stderr";
    int errFile = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int devNull = openDevNull();
    process->pid_ = spawn(argv, env, devNull, outPipe[1], errFd >= 0 ? errFd : errFile);
    close(devNull);
    close(errFile);
    close(outPipe[1]);
    process->outFd_ = outPipe[0];
    if (process->pid_ <= 0) return nullptr;
    return process;
}

Process::~Process() {
    stop(SIGTERM, 5000);
    if (outFd_ >= 0) close(outFd_);
}

bool Process::waitForLine(const std::string& line, int timeoutMs) {
    int64_t deadline = nowMs() + timeoutMs;
    for (;;) {
        size_t start = 0;
        for (size_t nl; (nl = out_.find('\n', start)) != std::string::npos; start = nl + 1) {
            if (out_.compare(start, nl - start, line) == 0) return true;
        }
        int64_t left = deadline - nowMs();
        if (outFd_ < 0 || left <= 0) return false;
        pollfd pfd = {outFd_, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(left)) <= 0) continue;
        char buf[4096];
        ssize_t n = read(outFd_, buf, sizeof buf);
        if (n > 0) {
            out_.append(buf, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            close(outFd_);
            outFd_ = -1;
        }
    }
}

int Process::wait(int timeoutMs) {
    if (status_ >= 0 || pid_ <= 0) return status_;
    status_ = waitFor(pid_, timeoutMs);
    return status_;
}

bool Process::running() {
    return wait(0) < 0 && pid_ > 0;
}

int Process::stop(int signal, int timeoutMs) {
    if (pid_ <= 0 || status_ >= 0) return status_;
    kill(pid_, signal);
    if (wait(timeoutMs) < 0) {
        kill(-pid_, SIGKILL);
        wait(5000);
    }
    // Anything the program left in its group (it should leave nothing) goes too.
    kill(-pid_, SIGKILL);
    return status_;
}

std::string Process::errText() const {
    std::string text;
    int fd = open((dir_->path() + "/stderr").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return text;
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
    close(fd);
    return text;
}

unique_fd bindUnixSocket(const std::string& path, bool listen) {
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return {};
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    unique_fd sock(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!sock || bind(sock.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return {};
    }
    if (listen && ::listen(sock.get(), 8) != 0) return {};
    return sock;
}

bool waitForSocket(const std::string& path, int timeoutMs) {
    int64_t deadline = nowMs() + timeoutMs;
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    for (;;) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        close(fd);
        if (ok) return true;
        if (nowMs() >= deadline) return false;
        usleep(5000);
    }
}

Registry::Registry(const std::vector<std::string>& args, const EnvChanges& more) {
    socket_ = dir_.path() + "/registry.sock";
    std::vector<std::string> argv = {binPath("zorlek-registry")};
    argv.insert(argv.end(), args.begin(), args.end());
    process_ = Process::start(argv, env(more));
    ready_ = process_ != nullptr && waitForSocket(socket_, 10000);
}

Registry::~Registry() {
    stop();
}

int Registry::stop() {
    return process_ ? process_->stop() : -1;
}

EnvChanges Registry::env(const EnvChanges& more) const {
    EnvChanges changes = {"ZORLEK_REGISTRY=" + socket_};
    changes.insert(changes.end(), more.begin(), more.end());
    return changes;
}

std::unique_ptr<Process> Registry::startEcho(const std::vector<std::string>& args,
                                             const EnvChanges& more) {
    std::vector<std::string> argv = {binPath("zorlek-echo")};
    argv.insert(argv.end(), args.begin(), args.end());
    std::unique_ptr<Process> echo = Process::start(argv, env(more));
    if (echo && !echo->waitForLine("ready", 10000)) return nullptr;
    return echo;
}

RunResult Registry::zorlek(const std::vector<std::string>& args, const EnvChanges& more,
                           int timeoutMs) const {
    std::vector<std::string> argv = {binPath("zorlek")};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProgram(argv, env(more), timeoutMs);
}

int openDescriptors(pid_t pid) {
    std::string folder = pid == 0 ? "/proc/self/fd" : "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return -1;
    int count = 0;
    while (dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.';
    ::closedir(dir);
    // The folder's own descriptor is not one the process holds.
    return pid == 0 ? count - 1 : count;
}

}  // namespace zorlek::test
