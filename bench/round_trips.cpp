#include "bench/round_trips.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "bench/measure.h"
#include "harness/harness.h"
#include "platform/ipc.h"

namespace zorlek::bench {
namespace {

bool readFully(int fd, void* buf, size_t len) {
    char* at = static_cast<char*>(buf);
    while (len > 0) {
        ssize_t n = read(fd, at, len);
        if (n <= 0) return false;
        at += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// Forks a child that runs `body` and exits; it dies with this process.
template <typename F>
pid_t forkChild(F body) {
    pid_t child = fork();
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        _exit(body());
    }
    return child;
}

}  // namespace

double socketPairMicros(int count, size_t size) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return -1;
    pid_t child = forkChild([&] {
        close(fds[0]);
        std::vector<char> buf(size);
        while (readFully(fds[1], buf.data(), size)) {
            if (write(fds[1], buf.data(), size) != static_cast<ssize_t>(size)) break;
        }
        return 0;
    });
    close(fds[1]);
    std::vector<char> buf(size, 'x');
    double micros = medianMicros(count, [&] {
        return write(fds[0], buf.data(), size) == static_cast<ssize_t>(size) &&
               readFully(fds[0], buf.data(), size);
    });
    close(fds[0]);
    waitpid(child, nullptr, 0);
    return micros;
}

RoundTrips measureRoundTrips(int count) {
    RoundTrips out;
    test::Registry registry;
    if (!registry.ready()) return out;
    auto echo = registry.startEcho({"bench.echo"});
    sp<ServiceManager> manager = RegistryClient::connect(registry.socketPath().c_str());
    sp<IBinder> object = manager ? manager->lookupService(String16("bench.echo")) : nullptr;
    if (!echo || !object) return out;
    Parcel request;
    request.writeInterfaceToken(String16("zorlek.IEcho"));
    request.writeInt32(7);
    request.writeString16(String16("hello"));
    Parcel reply;
    out.proxy = medianMicros(count, [&] {
        return object->sendTransaction(1, request, &reply, 0) == OK &&
               reply.dataSize() == request.dataSize() + 4;
    });
    // The request and the reply the proxy moves, each with its 16-byte message header.
    out.floor = socketPairMicros(count, 16 + request.dataSize());
    const String16 name("bench.echo");
    out.lookup = medianMicros(count / 10, [&] { return manager->lookupService(name) != nullptr; });
    return out;
}

double lookupsPerSecond(const std::string& socket, const std::string& name, int clients,
                        int millis) {
    int go[2], results[2];
    if (pipe2(go, O_CLOEXEC) != 0) return -1;
    if (pipe2(results, O_CLOEXEC) != 0) return -1;
    std::vector<pid_t> children;
    for (int i = 0; i < clients; ++i) {
        children.push_back(forkChild([&] {
            sp<RegistryClient> client = RegistryClient::connect(socket.c_str());
            const String16 wanted(name.c_str());
            char start;
            if (!client || read(go[0], &start, 1) != 1) return 1;
            long done = 0;
            double until = nowMicros() + millis * 1000.0;
            while (nowMicros() < until) {
                if (!client->lookupService(wanted)) return 1;
                ++done;
            }
            return write(results[1], &done, sizeof done) == sizeof done ? 0 : 1;
        }));
    }
    close(go[0]);
    close(results[1]);
    // Every client connects first; then all start at once.
    usleep(200 * 1000);
    std::vector<char> starts(static_cast<size_t>(clients), 'g');
    bool ok = write(go[1], starts.data(), starts.size()) == static_cast<ssize_t>(starts.size());
    long total = 0;
    for (int i = 0; i < clients && ok; ++i) {
        long done = 0;
        ok = readFully(results[0], &done, sizeof done);
        total += done;
    }
    close(go[1]);
    close(results[0]);
    for (pid_t child : children) {
        int status = 0;
        waitpid(child, &status, 0);
        ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    return ok ? total * 1000.0 / millis : -1;
}

}  // namespace zorlek::bench
