// SPDX-License-Identifier: Apache-2.0
#include "bench/polling_rows.h"

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench/measure.h"
#include "bench/polling_peers.h"
#include "bench/round_trips.h"
#include "bench/table.h"
#include "harness/harness.h"
#include "platform/ipc.h"
#include "platform/ipc/registry_client.h"
#include "platform/transport/wire.h"

namespace zorlek::bench {
namespace {

struct Pinned {
    Kind pair, floor, on, off;
    double idleShare = -1;  // the polling host's processor share over 2 s after the burst
};

// Client on `clientCpu`, every peer on `peerCpu`: batches of 100 of each kind in turn.
Pinned measurePinned(int clientCpu, int peerCpu, int count, bool idle) {
    Pinned out;
    out.pair.ok = out.floor.ok = out.on.ok = out.off.ok = false;
    if (!pinTo({peerCpu})) return out;
    Parcel request = echoRequest();
    CredentialPair pair(kHeaderSize + request.dataSize());
    CredentialPair floor(kHeaderSize + request.dataSize(), true);
    Echo on = startEcho(true), off = startEcho(false);
    bool pinned = pinTo({clientCpu});
    if (!pinned || !on.object || !off.object || pair.pid() <= 0 || floor.pid() <= 0) return out;
    out.pair.peers = {pair.pid()};
    out.floor.peers = {floor.pid()};
    out.on.peers = {on.host->pid()};
    out.off.peers = {off.host->pid()};
    out.pair.ok = out.floor.ok = out.on.ok = out.off.ok = true;
    Parcel reply;
    auto call = [&](const sp<IBinder>& object) {
        return [&] {
            return object->sendTransaction(1, request, &reply, 0) == OK &&
                   reply.dataSize() == request.dataSize() + 4;
        };
    };
    // Each end learns what a wake-up costs before the figures begin.
    for (int i = 0; i < 200; ++i) call(on.object)();
    for (int done = 0; done < count; done += 100) {
        out.pair.batch(100, [&] { return pair.roundTrip(); });
        out.floor.batch(100, [&] { return floor.roundTrip(); });
        out.on.batch(100, call(on.object));
        out.off.batch(100, call(off.object));
    }
    if (idle && out.on.ok) {
        double before = cpuNs(on.host->pid());
        usleep(2000 * 1000);
        out.idleShare = (cpuNs(on.host->pid()) - before) / 2e9;
    }
    return out;
}

void pinnedRows(const char* where, int clientCpu, int peerCpu, const char* target, bool idle) {
    Pinned p = measurePinned(clientCpu, peerCpu, 20000, idle);
    unpin();
    auto ratio = [](double a, double b) { return a > 0 && b > 0 ? a / b : -1; };
    std::string floor = "socket pair with credentials, " + std::string(where) + ": ";
    row(std::string("call, ") + where + ", polling", fixed(p.on.micros(), "µs", 2),
        floor + fixed(p.pair.micros(), "µs", 2), ratio(p.on.micros(), p.pair.micros()), target);
    row(std::string("call, ") + where + ", ZORLEK_POLL=0", fixed(p.off.micros(), "µs", 2),
        floor + fixed(p.pair.micros(), "µs", 2), ratio(p.off.micros(), p.pair.micros()), "");
    // What any host waiting in an event loop, and any client whose wait ends on time, pays
    // above the pair; the call's ratio to it is the library's own cost.
    std::string loop = std::string("an event loop's floor, ") + where;
    row(loop + " (the pair, its peer in epoll_wait, its client's receive under a timeout)",
        fixed(p.floor.micros(), "µs", 2), floor + fixed(p.pair.micros(), "µs", 2),
        ratio(p.floor.micros(), p.pair.micros()), "");
    row(std::string("call, ") + where + ", ZORLEK_POLL=0, against the event loop's floor",
        fixed(p.off.micros(), "µs", 2), loop + ": " + fixed(p.floor.micros(), "µs", 2),
        ratio(p.off.micros(), p.floor.micros()), "");
    std::string cpuFloor = "the socket pair's: " + fixed(p.pair.cpuMicros(), "µs", 2);
    row(std::string("processor time per call, both processes, ") + where + ", polling",
        fixed(p.on.cpuMicros(), "µs", 2), cpuFloor, ratio(p.on.cpuMicros(), p.pair.cpuMicros()),
        "≤ 1");
    row(std::string("processor time per call, both processes, ") + where + ", ZORLEK_POLL=0",
        fixed(p.off.cpuMicros(), "µs", 2), cpuFloor, ratio(p.off.cpuMicros(), p.pair.cpuMicros()),
        "");
    if (!idle) return;
    row("polling host's processor share, idle 2 s after a burst", fixed(p.idleShare * 100, "%", 3),
        "one processor: 100 %", p.idleShare >= 0 ? p.idleShare + 1e-9 : -1, "≤ 0.01");
}

// Round trips with the registry, each kind with a client of its own: lookups of a name
// whose host the client reaches (answered with a handle alone), and first lookups of a host
// with the first call over the channel each brings (the client lets it go after).
struct Lookups {
    Kind pair, on, off, firstOn, firstOff;
};

Lookups measureLookups(int clientCpu, int peerCpu, int count) {
    Lookups out;
    for (Kind* kind : {&out.pair, &out.on, &out.off, &out.firstOn, &out.firstOff}) kind->ok = false;
    if (!pinTo({peerCpu})) return out;
    const String16 name("bench.echo");
    Parcel lookupRequest, request = echoRequest(), reply;
    lookupRequest.writeString16(name);
    CredentialPair pair(kHeaderSize + lookupRequest.dataSize());
    Echo on = startEcho(true), off = startEcho(false);
    if (!on.object || !off.object || pair.pid() <= 0 || !pinTo({clientCpu})) return out;
    // Clients that hold no object between their lookups: each brings a new channel. Every
    // client reads the setting when it is made, a channel when its lookup makes it.
    auto connect = [](const Echo& echo) {
        return RegistryClient::connect(echo.registry->socketPath().c_str());
    };
    sp<ServiceManager> freshOn = connect(on);
    setenv("ZORLEK_POLL", "0", 1);
    sp<ServiceManager> freshOff = connect(off);
    unsetenv("ZORLEK_POLL");
    if (!freshOn || !freshOff) return out;
    pid_t onRegistry = on.registry->process()->pid(), offRegistry = off.registry->process()->pid();
    out.pair.peers = {pair.pid()};
    out.on.peers = {onRegistry};
    out.off.peers = {offRegistry};
    out.firstOn.peers = {onRegistry, on.host->pid()};
    out.firstOff.peers = {offRegistry, off.host->pid()};
    for (Kind* kind : {&out.pair, &out.on, &out.off, &out.firstOn, &out.firstOff}) kind->ok = true;
    auto lookup = [&](const sp<ServiceManager>& manager) {
        return [&] { return manager->lookupService(name) != nullptr; };
    };
    auto first = [&](const sp<ServiceManager>& manager, bool polling) {
        return [&, polling] {
            if (!polling) setenv("ZORLEK_POLL", "0", 1);
            sp<IBinder> object = manager->lookupService(name);
            if (!polling) unsetenv("ZORLEK_POLL");
            return object && object->sendTransaction(1, request, &reply, 0) == OK;
        };
    };
    // Each client learns what a wake-up costs before the figures begin.
    for (int i = 0; i < 200; ++i) lookup(on.manager)(), first(freshOn, true)();
    for (int done = 0; done < count; done += 100) {
        out.pair.batch(100, [&] { return pair.roundTrip(); });
        out.on.batch(100, lookup(on.manager));
        out.off.batch(100, lookup(off.manager));
        out.firstOn.batch(100, first(freshOn, true));
        out.firstOff.batch(100, first(freshOff, false));
    }
    return out;
}

void lookupRows(const char* where, int clientCpu, int peerCpu) {
    Lookups l = measureLookups(clientCpu, peerCpu, 10000);
    unpin();
    auto ratio = [](double a, double b) { return a > 0 && b > 0 ? a / b : -1; };
    std::string floor = "socket pair with credentials, " + std::string(where) + ": " +
                        fixed(l.pair.micros(), "µs", 2);
    auto both = [&](const std::string& what, const Kind& on, const Kind& off) {
        row(what + ", " + where + ", polling", fixed(on.micros(), "µs", 2),
            "ZORLEK_POLL=0: " + fixed(off.micros(), "µs", 2), ratio(on.micros(), off.micros()), "");
        row(what + ", " + where + ", ZORLEK_POLL=0", fixed(off.micros(), "µs", 2), floor,
            ratio(off.micros(), l.pair.micros()), "");
        row("processor time per " + what + ", both processes, " + where + ", polling",
            fixed(on.cpuMicros(), "µs", 2), "ZORLEK_POLL=0: " + fixed(off.cpuMicros(), "µs", 2),
            ratio(on.cpuMicros(), off.cpuMicros()), "");
    };
    both("lookup of a reached host", l.on, l.off);
    both("first lookup of a host and its first call", l.firstOn, l.firstOff);
}

// Calls per second of `clients` processes at once, each calling its own proxy of the
// echo object over and over for a second.
double crowdPerSecond(const Echo& echo, bool polling, int clients) {
    if (!polling) setenv("ZORLEK_POLL", "0", 1);
    sp<ServiceManager> manager;
    sp<IBinder> object;
    Parcel request = echoRequest(), reply;
    double rate = perSecond(
        clients, 1000,
        [&] {
            manager = RegistryClient::connect(echo.registry->socketPath().c_str());
            object = manager ? manager->lookupService(String16("bench.echo")) : nullptr;
            return object != nullptr;
        },
        [&] { return object->sendTransaction(1, request, &reply, 0) == OK; });
    unsetenv("ZORLEK_POLL");
    return rate;
}

void crowdRow(int clients) {
    if (!pinTo({0, 1})) return row("calls per second, many clients", "cannot pin", "", -1, "");
    // A second host without polling is the control: two hosts of the same setting differ by
    // as much as this machine's noise, which the polling row is read against.
    Echo on = startEcho(true), off = startEcho(false), control = startEcho(false);
    std::vector<double> onRate, offRate, polling, noise;
    // Six rounds, each kind first in turn, so that all meet the same load and none is
    // always the first after a pause.
    for (int round = 0; round < 6 && on.object && off.object && control.object; ++round) {
        double rate[3] = {};
        for (int k = 0; k < 3; ++k) {
            int kind = (round + k) % 3;
            const Echo& echo = kind == 0 ? on : kind == 1 ? off : control;
            rate[kind] = crowdPerSecond(echo, kind == 0, clients);
        }
        if (rate[0] <= 0 || rate[1] <= 0 || rate[2] <= 0) break;
        onRate.push_back(rate[0]);
        offRate.push_back(rate[1]);
        polling.push_back(rate[0] / rate[1]);
        noise.push_back(rate[2] / rate[1]);
    }
    unpin();
    bool ok = polling.size() == 6;
    std::string what = "calls per second, " + std::to_string(clients) + " clients on 2 processors";
    std::string base = "ZORLEK_POLL=0, same rounds: " + fixed(median(offRate), "/s", 0);
    row(what + ", polling (median of six rounds' ratios)", fixed(median(onRate), "/s", 0), base,
        ok ? median(polling) : -1, "≥ 1");
    row(what + ", a second ZORLEK_POLL=0 host (the noise)", "", base, ok ? median(noise) : -1, "");
}

}  // namespace

void pollingRows() {
    pinnedRows("one processor", 0, 0, "≤ 1.1", false);
    lookupRows("one processor", 0, 0);
    if (processorsAvailable() < 2) return;
    pinnedRows("two pinned processors", 0, 1, "≤ 0.5", true);
    lookupRows("two pinned processors", 0, 1);
    crowdRow(100);
}

}  // namespace zorlek::bench
