// SPDX-License-Identifier: Apache-2.0
// What the polling and shared-memory rows measure with: processor time of processes, the
// socket pair whose receivers take the sender's credentials (as a host does), round trips
// timed in batches with the processor time of both ends, and an echo object reached
// through a registry of its own.
#pragma once

#include <dirent.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench/measure.h"
#include "bench/round_trips.h"
#include "harness/harness.h"
#include "platform/ipc.h"
#include "platform/ipc/registry_client.h"

namespace zorlek::bench {

// Nanoseconds process `pid` (0: this one) has run on a processor, all its threads.
inline double cpuNs(pid_t pid) {
    if (pid == 0) {
        timespec ts{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
        return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
    }
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (dir == nullptr) return 0;
    double total = 0;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        std::string path = tasks + "/" + entry->d_name + "/schedstat";
        FILE* file = std::fopen(path.c_str(), "r");
        if (file == nullptr) continue;
        unsigned long long ran = 0;
        if (std::fscanf(file, "%llu", &ran) == 1) total += static_cast<double>(ran);
        std::fclose(file);
    }
    closedir(dir);
    return total;
}

// The baseline: `size` bytes each way over a socket pair between this process and a
// child, both ends receiving with the sender's credentials, as a host reads its calls.
// With `loop`, the floor of a host that serves many channels and of a client whose wait
// ends on time: the child waits in epoll_wait before each receive, and this end's
// receives are under a receive timeout (a kernel timer each time they sleep).
class CredentialPair {
  public:
    explicit CredentialPair(size_t size, bool loop = false) : buf_(size, 'x') {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return;
        int on = 1;
        setsockopt(fds[0], SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
        setsockopt(fds[1], SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
        timeval bound{5, 0};
        if (loop) setsockopt(fds[0], SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
        child_ = forkChild([&] {
            close(fds[0]);
            int waits = loop ? epoll_create1(EPOLL_CLOEXEC) : -1;
            epoll_event readable{EPOLLIN, {}}, ready[8];
            if (loop && epoll_ctl(waits, EPOLL_CTL_ADD, fds[1], &readable) != 0) return 1;
            while ((!loop || epoll_wait(waits, ready, 8, -1) > 0) && receive(fds[1])) {
                if (write(fds[1], buf_.data(), buf_.size()) != static_cast<ssize_t>(buf_.size())) {
                    break;
                }
            }
            return 0;
        });
        close(fds[1]);
        fd_ = fds[0];
    }
    ~CredentialPair() {
        if (fd_ >= 0) close(fd_);
        if (child_ > 0) waitpid(child_, nullptr, 0);
    }
    bool roundTrip() {
        return write(fd_, buf_.data(), buf_.size()) == static_cast<ssize_t>(buf_.size()) &&
               receive(fd_);
    }
    pid_t pid() const { return child_; }

  private:
    // Receives the message's bytes; every receive must bring the sender's credentials.
    bool receive(int fd) {
        for (size_t got = 0; got < buf_.size();) {
            iovec iov{buf_.data() + got, buf_.size() - got};
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
            msghdr message{};
            message.msg_iov = &iov;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            ssize_t n = recvmsg(fd, &message, MSG_CMSG_CLOEXEC);
            cmsghdr* header = n > 0 ? CMSG_FIRSTHDR(&message) : nullptr;
            if (header == nullptr || header->cmsg_type != SCM_CREDENTIALS) return false;
            got += static_cast<size_t>(n);
        }
        return true;
    }

    std::vector<char> buf_;
    int fd_ = -1;
    pid_t child_ = -1;
};

// One kind of round trip measured in batches: the batches' mean times, and the processor
// time of both processes over all of them.
struct Kind {
    std::vector<pid_t> peers;
    std::vector<double> batches;
    double ranNs = 0;
    int rounds = 0;
    bool ok = true;

    template <typename F>
    void batch(int count, F round) {
        // The peer read first and this process last, and the other way at the end, so
        // that reading them is outside the figures.
        double startCpu = peersNs();
        startCpu += cpuNs(0);
        double start = nowMicros();
        for (int i = 0; i < count && ok; ++i) ok = round();
        double took = nowMicros() - start;
        double endCpu = cpuNs(0);
        endCpu += peersNs();
        batches.push_back(took / count);
        ranNs += endCpu - startCpu;
        rounds += count;
    }
    double peersNs() const {
        double total = 0;
        for (pid_t peer : peers) total += cpuNs(peer);
        return total;
    }
    double micros() const { return ok ? median(batches) : -1; }
    double cpuMicros() const { return ok && rounds > 0 ? ranNs / rounds / 1000 : -1; }
};

// An echo object reached through its own registry, the channel made with polling as
// `polling` says (the host started alike).
struct Echo {
    std::unique_ptr<test::Registry> registry;
    std::unique_ptr<test::Process> host;
    sp<ServiceManager> manager;
    sp<IBinder> object;
};

inline Echo startEcho(bool polling) {
    Echo echo;
    test::EnvChanges env;
    if (!polling) env.push_back("ZORLEK_POLL=0");
    echo.registry = std::make_unique<test::Registry>(test::EnvChanges(), env);
    if (!echo.registry->ready()) return echo;
    echo.host = echo.registry->startEcho({"bench.echo"}, env);
    if (!echo.host) return echo;
    // The channel reads the setting when the lookup makes it.
    if (!polling) setenv("ZORLEK_POLL", "0", 1);
    echo.manager = RegistryClient::connect(echo.registry->socketPath().c_str());
    echo.object = echo.manager ? echo.manager->lookupService(String16("bench.echo")) : nullptr;
    unsetenv("ZORLEK_POLL");
    return echo;
}

inline Parcel echoRequest() {
    Parcel request;
    request.writeInterfaceToken(String16("zorlek.IEcho"));
    request.writeInt32(7);
    request.writeString16(String16("hello"));
    return request;
}

}  // namespace zorlek::bench
