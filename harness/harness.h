// SPDX-License-Identifier: Apache-2.0
#pragma once

// Starting and stopping the real programs in tests: a registry on a private socket in a
// temporary folder, services in the background, and one-shot runs with captured output.
// Every wait is bounded, and everything started is stopped by a destructor, also when a
// test fails half-way.

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/base/unique_fd.h"

namespace zorlek::test {

// The path of a built program, e.g. binPath("zorlek").
std::string binPath(const std::string& program);

// A folder made under $TMPDIR (or /tmp) and removed with all its contents at the end.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// What a finished program left.
struct RunResult {
    std::string out;
    std::string err;
    // The exit status, or 128 + signal number when a signal ended it.
    int exitCode = -1;
    // True when it had to be killed at the time limit.
    bool timedOut = false;
};

// Environment changes for a child: "KEY=VALUE" sets, "-KEY" removes. The child gets this
// process's environment with ZORLEK_REGISTRY and ZORLEK_CALL_TIMEOUT_MS removed, then
// these changes.
using EnvChanges = std::vector<std::string>;

// Runs argv[0] (a path) with argv and `env`, feeding no standard input, and returns its
// output once it exits; kills it (and its process group) after `timeoutMs`.
RunResult runProgram(const std::vector<std::string>& argv, const EnvChanges& env = {},
                     int timeoutMs = 10000);

// A program running in the background in its own process group, with standard output
// on a pipe (read by waitForLine) and standard error collected in a file.
class Process {
  public:
    // Null when it could not be started at all. With `errFd` given, standard error goes
    // there instead of to the collected file (errText() is then empty).
    static std::unique_ptr<Process> start(const std::vector<std::string>& argv,
                                          const EnvChanges& env = {}, int errFd = -1);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    // Reads standard output until a line equal to `line` arrives: false when the
    // program exits or `timeoutMs` passes first.
    bool waitForLine(const std::string& line, int timeoutMs = 10000);
    // Waits up to `timeoutMs` for the program to end by itself; its exit status as in
    // RunResult, or -1 when it is still running.
    int wait(int timeoutMs);
    // Sends `signal`, waits up to `timeoutMs`, then kills the group; the exit status.
    int stop(int signal = 15, int timeoutMs = 5000);
    bool running();
    // Everything written to standard error so far.
    std::string errText() const;
    // Everything read from standard output so far.
    const std::string& outText() const { return out_; }

  private:
    Process() = default;

    pid_t pid_ = -1;
    int outFd_ = -1;
    int status_ = -1;
    std::string out_;
    std::unique_ptr<TempDir> dir_;
};

// A zorlek-registry on a socket in its own temporary folder.
class Registry {
  public:
    // Starts the registry with `args` (and the environment changes `more`) and waits
    // until its socket accepts connections.
    explicit Registry(const std::vector<std::string>& args = {}, const EnvChanges& more = {});
    ~Registry();

    // True once the registry accepts connections.
    bool ready() const { return ready_; }
    const std::string& socketPath() const { return socket_; }
    const std::string& dir() const { return dir_.path(); }
    Process* process() { return process_.get(); }
    // The environment change that points a client here, plus `more`.
    EnvChanges env(const EnvChanges& more = {}) const;

    // Starts zorlek-echo with `args` against this registry and waits for "ready"; null
    // (after stopping it) when it does not get ready in time.
    std::unique_ptr<Process> startEcho(const std::vector<std::string>& args,
                                       const EnvChanges& more = {});
    // Runs the zorlek tool against this registry.
    RunResult zorlek(const std::vector<std::string>& args, const EnvChanges& more = {},
                     int timeoutMs = 10000) const;
    // Stops the registry (SIGTERM); its exit status.
    int stop();

  private:
    TempDir dir_;
    std::string socket_;
    std::unique_ptr<Process> process_;
    bool ready_ = false;
};

// A Unix stream socket bound at `path`, listening when `listen` is set; invalid when it
// cannot be made. For standing in for a registry that is silent, stale or not ours.
unique_fd bindUnixSocket(const std::string& path, bool listen);

// True once something accepts connections on the Unix socket at `path`, polling up to
// `timeoutMs`.
bool waitForSocket(const std::string& path, int timeoutMs);

// The descriptors process `pid` has open (this process's when 0); -1 when unreadable.
int openDescriptors(pid_t pid = 0);

}  // namespace zorlek::test
