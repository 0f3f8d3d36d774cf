// Round trips through the IPC library against the floor the kernel sets: the same-sized
// request and reply bounced over a plain Unix socket pair between two processes, in the
// same run (the machine is shared and noisy, so the ratio is what to compare).
//
// usage: ipc_bench [ROUND_TRIPS]     (default 20000)

#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "harness/harness.h"
#include "platform/ipc.h"

namespace {

double nowMicros() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

// Runs `roundTrip` `count` times in batches of 100 and returns the median per round trip
// of the batches, in microseconds; negative if a round trip failed.
template <typename F>
double medianMicros(int count, F roundTrip) {
    std::vector<double> batches;
    for (int done = 0; done < count; done += 100) {
        double start = nowMicros();
        for (int i = 0; i < 100; ++i) {
            if (!roundTrip()) return -1;
        }
        batches.push_back((nowMicros() - start) / 100);
    }
    std::sort(batches.begin(), batches.end());
    return batches[batches.size() / 2];
}

bool readFully(int fd, char* buf, size_t len) {
    while (len > 0) {
        ssize_t n = read(fd, buf, len);
        if (n <= 0) return false;
        buf += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// The floor: a child that sends back every `size` bytes it receives.
double socketPairMicros(int count, size_t size) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return -1;
    pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        std::vector<char> buf(size);
        while (readFully(fds[1], buf.data(), size)) {
            if (write(fds[1], buf.data(), size) != static_cast<ssize_t>(size)) break;
        }
        _exit(0);
    }
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

}  // namespace

int main(int argc, char** argv) {
    using namespace zorlek;
    int count = argc > 1 ? std::atoi(argv[1]) : 20000;
    if (count < 1000) count = 1000;
    test::Registry registry;
    if (!registry.ready()) {
        std::fprintf(stderr, "ipc_bench: registry did not start\n");
        return 1;
    }
    setenv("ZORLEK_REGISTRY", registry.socketPath().c_str(), 1);
    auto echo = registry.startEcho({"bench.echo"});
    sp<ServiceManager> manager = defaultServiceManager();
    sp<IBinder> object = manager ? manager->lookupService(String16("bench.echo")) : nullptr;
    if (!echo || !object) {
        std::fprintf(stderr, "ipc_bench: echo service not reachable\n");
        return 1;
    }
    Parcel request;
    request.writeInterfaceToken(String16("zorlek.IEcho"));
    request.writeInt32(7);
    request.writeString16(String16("hello"));
    Parcel reply;
    double proxy = medianMicros(count, [&] {
        return object->sendTransaction(1, request, &reply, 0) == OK &&
               reply.dataSize() == request.dataSize() + 4;
    });
    // The request and the reply the proxy moves, each with its 16-byte message header.
    size_t size = 16 + request.dataSize();
    double floor = socketPairMicros(count, size);
    double lookup = medianMicros(
        count / 10, [&] { return manager->lookupService(String16("bench.echo")) != nullptr; });
    if (proxy < 0 || floor < 0 || lookup < 0) {
        std::fprintf(stderr, "ipc_bench: a round trip failed\n");
        return 1;
    }
    std::printf("%-44s %10s %8s\n", "round trip", "median us", "x floor");
    std::printf("%-44s %10.1f %8.2f\n", "floor: socket pair, same bytes, two processes", floor,
                1.0);
    std::printf("%-44s %10.1f %8.2f\n", "call through a proxy to zorlek-echo", proxy,
                proxy / floor);
    std::printf("%-44s %10.1f %8.2f\n", "lookup (registry + new channel)", lookup, lookup / floor);
    return 0;
}
