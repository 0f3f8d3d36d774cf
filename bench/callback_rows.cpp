// SPDX-License-Identifier: Apache-2.0
#include "bench/callback_rows.h"

#include <poll.h>

#include <atomic>
#include <thread>

#include "bench/measure.h"
#include "bench/table.h"
#include "platform/hosting.h"
#include "platform/ipc/registry_client.h"

namespace zorlek::bench {
namespace {

constexpr int kBatch = 100;
enum Code : uint32_t { KEEP = 1, SEND_BACK = 2, ONEWAY = 3, FLUSH = 4, SEND_LATER = 5 };

// Sends a batch of one-way calls to `listener`.
status_t sendBatch(const sp<IBinder>& listener) {
    Parcel tick;
    tick.writeInt32(1);
    for (int i = 0; i < kBatch; ++i) {
        if (status_t s = listener->sendTransaction(ONEWAY, tick, nullptr, FLAG_ONEWAY)) return s;
    }
    return OK;
}

// The host's object: keeps one listener and sends it a batch of one-way calls when asked,
// inside the call (they leave with its reply) or from the loop after it (each leaves at
// once, as a client's do); takes one-way calls itself, noting when the last of a batch came.
struct Sender : LocalObject {
    explicit Sender(ServiceHost& host)
        : LocalObject(String16("bench.ISender")), later(host, [this] {
              sentAt = nowMicros();
              sendBatch(listener);
          }) {}
    status_t onTransact(uint32_t code, Parcel& data, Parcel* reply, uint32_t flags) override {
        if (code == KEEP) return data.readStrongBinder(&listener);
        if (code == ONEWAY && ++received % kBatch == 0) lastAt = nowMicros();
        if (code == ONEWAY || code == FLUSH) return OK;
        if (code == SEND_LATER && listener) return later.armIn(-1), OK;
        if (code != SEND_BACK || !listener)
            return LocalObject::onTransact(code, data, reply, flags);
        return sendBatch(listener);
    }
    sp<IBinder> listener;
    HostTimer later;
    int received = 0;
    std::atomic<double> sentAt{0}, lastAt{0};
};

struct Counter : LocalObject {
    Counter() : LocalObject(String16("bench.ICounter")) {}
    status_t onTransact(uint32_t, Parcel&, Parcel*, uint32_t) override {
        if (++count % kBatch == 0) lastAt = nowMicros();
        return OK;
    }
    int count = 0;
    double lastAt = 0;
};

// Serves the client's loop until `counter` reached `want`; false after 5 s.
bool dispatchUntil(const sp<RegistryClient>& client, const Counter& counter, int want) {
    double end = nowMicros() + 5e6;
    while (counter.count < want) {
        if (nowMicros() > end) return false;
        pollfd p{client->pollDescriptor(), POLLIN, 0};
        ::poll(&p, 1, client->pollTimeoutMs() == 0 ? 0 : 10);
        client->dispatch();
    }
    return true;
}

// Times batches of one-way calls each way over one channel, in turn, `turns` times: from
// the first send to the last receipt, per call.
struct OneWayTurns {
    std::vector<double> back, forth, ratios;
};

bool oneWayTurns(const sp<RegistryClient>& client, const sp<IBinder>& object, Sender& sender,
                 bool later, OneWayTurns* out) {
    sp<Counter> counter = make<Counter>();
    Parcel keep, tick, reply;
    keep.writeStrongBinder(counter);
    tick.writeInt32(1);
    bool ok = object->sendTransaction(KEEP, keep, &reply, 0) == OK;
    for (int turn = 0; ok && turn < 200; ++turn) {
        // Calls back may come in while the call waits: what is wanted is counted first.
        int want = counter->count + kBatch;
        double t0 = nowMicros();
        ok = object->sendTransaction(later ? SEND_LATER : SEND_BACK, Parcel(), &reply, 0) == OK &&
             dispatchUntil(client, *counter, want);
        double back = counter->lastAt - (later ? sender.sentAt.load() : t0);
        double t1 = nowMicros();
        for (int i = 0; ok && i < kBatch; ++i)
            ok = object->sendTransaction(ONEWAY, tick, nullptr, FLAG_ONEWAY) == OK;
        ok = ok && object->sendTransaction(FLUSH, Parcel(), &reply, 0) == OK;
        double forth = (later ? sender.lastAt.load() : nowMicros()) - t1;
        out->back.push_back(back / kBatch);
        out->forth.push_back(forth / kBatch);
        out->ratios.push_back(back / forth);
    }
    return ok;
}

void oneWayRows(test::Registry& registry) {
    ServiceHost host(2000);
    sp<Sender> sender = make<Sender>(host);
    if (host.connect(registry.socketPath().c_str()) != OK ||
        host.addService(String16("bench.sender"), sender) != OK) {
        return row("one-way call back", "failed", "", -1, "≤ 1.1 ×");
    }
    std::thread serving([&] { host.serve(); });
    sp<RegistryClient> client = RegistryClient::connect(registry.socketPath().c_str(), 2000);
    sp<IBinder> object = client ? client->lookupService(String16("bench.sender")) : nullptr;
    OneWayTurns inside, apart;
    bool insideOk = object && oneWayTurns(client, object, *sender, false, &inside);
    bool apartOk = object && oneWayTurns(client, object, *sender, true, &apart);
    host.stop();
    serving.join();
    row("one-way call back, host to client, made inside a call (batches of 100)",
        fixed(median(inside.back), "µs", 2),
        "one-way proxy call, client to host, with a two-way one after: " +
            fixed(median(inside.forth), "µs", 2),
        insideOk ? median(inside.ratios) : -1, "");
    row("one-way call back, host to client, from the host's loop, first send to last receipt "
        "(batches of 100)",
        fixed(median(apart.back), "µs", 2),
        "one-way proxy call, client to host, the same: " + fixed(median(apart.forth), "µs", 2),
        apartOk ? median(apart.ratios) : -1, "≤ 1.1 ×");
}

void tickerRow(test::Registry& registry) {
    auto ticker =
        test::Process::start({test::binPath("../samples/zorlek-sample-ticker")}, registry.env());
    sp<RegistryClient> client = RegistryClient::connect(registry.socketPath().c_str(), 2000);
    sp<IBinder> object = ticker && ticker->waitForLine("ready") && client
                             ? client->lookupService(String16("sample.ticker"))
                             : nullptr;
    sp<Counter> counter = make<Counter>();
    std::vector<sp<IBinder>> listeners;
    bool ok = object != nullptr;
    for (int i = 0; ok && i < 100; ++i) {
        listeners.push_back(make<Counter>());
        Parcel request, reply;
        request.writeInterfaceToken(String16("sample.ITicker"));
        request.writeStrongBinder(listeners.back());
        request.writeInt32(1);
        ok = object->sendTransaction(1, request, &reply, 0) == OK;
    }
    auto total = [&] {
        int sum = 0;
        for (const sp<IBinder>& l : listeners) sum += static_cast<Counter*>(l.get())->count;
        return sum;
    };
    std::vector<double> rates;
    for (int second = 0; ok && second < 5; ++second) {
        int before = total();
        double t0 = nowMicros(), end = t0 + 1e6;
        while (nowMicros() < end) {
            pollfd p{client->pollDescriptor(), POLLIN, 0};
            ::poll(&p, 1, 10);
            client->dispatch();
        }
        rates.push_back((total() - before) * 1e6 / (nowMicros() - t0));
    }
    double rate = ok ? median(rates) : -1;
    row("ticks per second, 100 listeners of one ticker at 1 ms", fixed(rate, "/s", 0),
        "asked for: 100,000/s", rate > 0 ? rate / 100000 : -1, "");
}

}  // namespace

void callbackRows() {
    test::Registry registry;
    if (!registry.ready()) return row("calls back", "failed", "", -1, "");
    oneWayRows(registry);
    tickerRow(registry);
}

}  // namespace zorlek::bench
