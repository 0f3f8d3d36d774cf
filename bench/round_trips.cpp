// SPDX-License-Identifier: Apache-2.0
#include "bench/round_trips.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

#include "bench/measure.h"
#include "harness/harness.h"
#include "platform/ipc.h"
#include "platform/ipc/registry_client.h"
#include "platform/transport/fd_passing.h"

namespace zorlek::bench {
namespace {

// The floor's far end: a child that answers every `size` bytes it receives with the same
// bytes; with `handOutChannel`, as a registry answers a lookup: it makes a socket pair for
// each answer, sends one end with it and closes both.
class Bouncer {
  public:
    Bouncer(size_t size, bool handOutChannel) : buf_(size, 'x') {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return;
        child_ = forkChild([&] {
            close(fds[0]);
            while (readFully(fds[1], buf_.data(), buf_.size())) {
                unique_fd channel[2];
                if (handOutChannel) {
                    int pair[2];
                    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) break;
                    channel[0].reset(pair[0]);
                    channel[1].reset(pair[1]);
                }
                iovec iov{buf_.data(), buf_.size()};
                msghdr message{};
                message.msg_iov = &iov;
                message.msg_iovlen = 1;
                ControlBuffer control;
                attachFd(&message, &control, channel[0].get());
                if (sendmsg(fds[1], &message, 0) != static_cast<ssize_t>(buf_.size())) break;
            }
            return 0;
        });
        close(fds[1]);
        fd_ = fds[0];
    }
    ~Bouncer() {
        if (fd_ >= 0) close(fd_);
        if (child_ > 0) waitpid(child_, nullptr, 0);
    }
    // One round trip; a channel that came with the answer is closed at once.
    bool roundTrip() {
        if (write(fd_, buf_.data(), buf_.size()) != static_cast<ssize_t>(buf_.size())) return false;
        iovec iov{buf_.data(), buf_.size()};
        msghdr message{};
        message.msg_iov = &iov;
        message.msg_iovlen = 1;
        ControlBuffer control;
        prepareReceiveControl(&message, &control);
        ssize_t n = recvmsg(fd_, &message, MSG_CMSG_CLOEXEC);
        ReceivedFds received;
        collectFds(&message, &received);
        return n > 0 && readFully(fd_, buf_.data() + n, buf_.size() - static_cast<size_t>(n));
    }

  private:
    std::vector<char> buf_;
    int fd_ = -1;
    pid_t child_ = -1;
};

}  // namespace

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

double socketPairMicros(int count, size_t size) {
    Bouncer bouncer(size, false);
    return medianMicros(count, [&] { return bouncer.roundTrip(); });
}

RoundTrips measureRoundTrips(int count) {
    RoundTrips out;
    test::Registry registry;
    if (!registry.ready()) return out;
    auto echo = registry.startEcho({"bench.echo", "bench.other"});
    sp<ServiceManager> manager = RegistryClient::connect(registry.socketPath().c_str());
    const String16 name("bench.echo"), other("bench.other");
    sp<IBinder> object = manager ? manager->lookupService(name) : nullptr;
    if (!echo || !object) return out;
    Parcel request;
    request.writeInterfaceToken(String16("zorlek.IEcho"));
    request.writeInt32(7);
    request.writeString16(String16("hello"));
    Parcel reply;
    // The request and the reply the proxy moves, each with its message header.
    Bouncer bouncer(kHeaderSize + request.dataSize(), false);
    // A lookup's request: its header and the name; its answer is a header.
    Parcel lookupRequest;
    lookupRequest.writeString16(name);
    Bouncer channels(kHeaderSize + lookupRequest.dataSize(), true);
    // A second manager reaches no host between its lookups: each brings a new channel.
    sp<ServiceManager> fresh = RegistryClient::connect(registry.socketPath().c_str());
    if (!fresh) return out;
    // Batches of each in turn, so that all meet the same load.
    std::vector<double> floor, proxy, known, first, lookupFloor;
    for (int done = 0; done < count; done += 100) {
        floor.push_back(medianMicros(100, [&] { return bouncer.roundTrip(); }));
        lookupFloor.push_back(medianMicros(
            10, [&] { return channels.roundTrip(); }, 10));
        proxy.push_back(medianMicros(100, [&] {
            return object->sendTransaction(1, request, &reply, 0) == OK &&
                   reply.dataSize() == request.dataSize() + 4;
        }));
        // `object` keeps the host reached: the answer is the handle alone.
        known.push_back(medianMicros(
            10, [&] { return manager->lookupService(other) != nullptr; }, 10));
        first.push_back(medianMicros(
            10, [&] { return fresh->lookupService(other) != nullptr; }, 10));
    }
    for (const auto* figures : {&floor, &proxy, &known, &first, &lookupFloor}) {
        if (std::find(figures->begin(), figures->end(), -1.0) != figures->end()) return out;
    }
    out.floor = median(floor);
    out.lookupFloor = median(lookupFloor);
    out.proxy = median(proxy);
    out.lookupKnown = median(known);
    out.lookupFirst = median(first);
    return out;
}

double socketPairsPerSecond(int pairs, size_t size, int millis) {
    std::unique_ptr<Bouncer> bouncer;
    return perSecond(
        pairs, millis,
        [&] {
            bouncer = std::make_unique<Bouncer>(size, false);
            return true;
        },
        [&] { return bouncer->roundTrip(); });
}

double lookupsPerSecond(const std::string& socket, const std::string& name, int clients,
                        int millis) {
    sp<RegistryClient> client;
    sp<IBinder> held;
    const String16 wanted(name.c_str());
    return perSecond(
        clients, millis,
        [&] {
            client = RegistryClient::connect(socket.c_str());
            held = client ? client->lookupService(wanted) : nullptr;
            return held != nullptr;
        },
        [&] { return client->lookupService(wanted) != nullptr; });
}

}  // namespace zorlek::bench
