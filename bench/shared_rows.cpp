// SPDX-License-Identifier: Apache-2.0
#include "bench/shared_rows.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <cstring>
#include <string>
#include <vector>

#include "bench/measure.h"
#include "bench/polling_peers.h"
#include "bench/round_trips.h"
#include "bench/shm_ring.h"
#include "bench/table.h"
#include "platform/transport/fd_passing.h"
#include "platform/transport/wire.h"

namespace zorlek::bench {
namespace {

// One byte with `fd` attached, through the library's descriptor passing.
bool sendFd(int sock, int fd) {
    char byte = 0;
    iovec iov{&byte, 1};
    return sendNow(sock, &iov, 1, fd) == 1;
}

unique_fd receiveFd(int sock) {
    char byte = 0;
    iovec iov{&byte, 1};
    ControlBuffer control;
    msghdr message{};
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    prepareReceiveControl(&message, &control);
    if (recvmsg(sock, &message, MSG_CMSG_CLOEXEC) != 1) return {};
    ReceivedFds fds;
    collectFds(&message, &fds);
    return fds.takeFirst();
}

// A client and a host (a child that echoes each message) over the prototype. Each makes
// its own segment and hands the other a read-only view of it.
class ShmPair {
  public:
    ShmPair(size_t size, bool polling) : buf_(size, 'x') {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return;
        ShmSegment* own = nullptr;
        unique_fd segment = makeSegment(&own);
        unique_fd view = segment ? readOnlyView(segment.get()) : unique_fd();
        if (!view) return;
        child_ = forkChild([&] {
            // The host keeps nothing of the client's segment but the read-only view.
            munmap(own, sizeof(ShmSegment));
            segment.reset();
            close(fds[0]);
            const ShmSegment* client = mapPeer(view.get());
            ShmSegment* mine = nullptr;
            unique_fd mySegment = makeSegment(&mine);
            unique_fd myView = mySegment ? readOnlyView(mySegment.get()) : unique_fd();
            if (client == nullptr || !myView || !sendFd(fds[1], myView.get())) return 1;
            ShmEnd end(mine, client, PollBudget(polling, processorsOnline()));
            uint8_t message[kShmMaxMessage];
            for (;;) {
                int got = end.receive(message, 10000);
                if (got <= 0) return got == 0 ? 0 : 1;
                if (!end.send(message, static_cast<uint32_t>(got))) return 1;
            }
        });
        close(fds[1]);
        unique_fd hostView = receiveFd(fds[0]);
        close(fds[0]);
        const ShmSegment* host = hostView ? mapPeer(hostView.get()) : nullptr;
        if (host != nullptr) end_.emplace_back(own, host, PollBudget(polling, processorsOnline()));
    }
    ~ShmPair() {
        // The host ends once nothing comes for its timeout; it dies with this process.
        if (child_ > 0) kill(child_, SIGKILL);
        if (child_ > 0) waitpid(child_, nullptr, 0);
    }
    bool ready() const { return !end_.empty(); }
    pid_t pid() const { return child_; }
    bool roundTrip() {
        uint8_t reply[kShmMaxMessage];
        return end_[0].send(buf_.data(), static_cast<uint32_t>(buf_.size())) &&
               end_[0].receive(reply, 10000) == static_cast<int>(buf_.size()) &&
               std::memcmp(reply, buf_.data(), buf_.size()) == 0;
    }

  private:
    std::vector<uint8_t> buf_;
    std::vector<ShmEnd> end_;  // one, once the host's segment is mapped
    pid_t child_ = -1;
};

struct Shared {
    Kind pair, call, sleeping, polling;
};

// Client on `clientCpu`, every peer on `peerCpu`: batches of 100 of each kind in turn.
Shared measureShared(int clientCpu, int peerCpu, int count) {
    Shared out;
    for (Kind* kind : {&out.pair, &out.call, &out.sleeping, &out.polling}) kind->ok = false;
    if (!pinTo({peerCpu})) return out;
    Parcel request = echoRequest(), reply;
    size_t size = kHeaderSize + request.dataSize();
    CredentialPair pair(size);
    ShmPair sleeping(size, false), polling(size, true);
    Echo echo = startEcho(true);
    if (!pinTo({clientCpu}) || !echo.object || pair.pid() <= 0 || !sleeping.ready() ||
        !polling.ready()) {
        return out;
    }
    out.pair.peers = {pair.pid()};
    out.call.peers = {echo.host->pid()};
    out.sleeping.peers = {sleeping.pid()};
    out.polling.peers = {polling.pid()};
    for (Kind* kind : {&out.pair, &out.call, &out.sleeping, &out.polling}) kind->ok = true;
    auto call = [&] {
        return echo.object->sendTransaction(1, request, &reply, 0) == OK &&
               reply.dataSize() == request.dataSize() + 4;
    };
    // Each end learns what a wake-up costs before the figures begin.
    for (int i = 0; i < 200; ++i) call(), polling.roundTrip();
    for (int done = 0; done < count; done += 100) {
        out.pair.batch(100, [&] { return pair.roundTrip(); });
        out.call.batch(100, call);
        out.sleeping.batch(100, [&] { return sleeping.roundTrip(); });
        out.polling.batch(100, [&] { return polling.roundTrip(); });
    }
    return out;
}

void sharedRows(const char* where, int clientCpu, int peerCpu) {
    Shared s = measureShared(clientCpu, peerCpu, 20000);
    unpin();
    auto ratio = [](double a, double b) { return a > 0 && b > 0 ? a / b : -1; };
    std::string floor = "socket pair with credentials: " + fixed(s.pair.micros(), "µs", 2);
    std::string cpuFloor = "the socket pair's: " + fixed(s.pair.cpuMicros(), "µs", 2);
    auto both = [&](const std::string& what, const Kind& kind) {
        row(what + ", " + where, fixed(kind.micros(), "µs", 2), floor,
            ratio(kind.micros(), s.pair.micros()), "");
        row("processor time per round trip, both processes, " + what + ", " + where,
            fixed(kind.cpuMicros(), "µs", 2), cpuFloor, ratio(kind.cpuMicros(), s.pair.cpuMicros()),
            "");
    };
    both("call, polling", s.call);
    both("shared-memory ring, futex, sleeping at once", s.sleeping);
    both("shared-memory ring, futex, polling first", s.polling);
}

}  // namespace

void sharedMemoryRows() {
    sharedRows("two pinned processors", 0, 1);
    sharedRows("one processor", 0, 0);
}

}  // namespace zorlek::bench
