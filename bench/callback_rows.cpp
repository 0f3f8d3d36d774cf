// SPDX-License-Identifier: Apache-2.0
#include "bench/callback_rows.h"

#include <poll.h>

#include <thread>

#include "bench/measure.h"
#include "bench/table.h"
#include "platform/hosting.h"
#include "platform/ipc/registry_client.h"

namespace zorlek::bench {
namespace {

constexpr int kBatch = 100;
enum Code : uint32_t { KEEP = 1, SEND_BACK = 2, ONEWAY = 3, FLUSH = 4 };

// The host's object: keeps one listener, sends it a batch of one-way calls when asked, and
// takes one-way calls itself.
struct Sender : LocalObject {
    Sender() : LocalObject(String16("bench.ISender")) {}
    status_t onTransact(uint32_t code, Parcel& data, Parcel* reply, uint32_t flags) override {
        if (code == KEEP) return data.readStrongBinder(&listener);
        if (code == ONEWAY || code == FLUSH) return OK;
        if (code != SEND_BACK || !listener)
            return LocalObject::onTransact(code, data, reply, flags);
        Parcel tick;
        tick.writeInt32(1);
        for (int i = 0; i < kBatch; ++i) {
            if (status_t s = listener->sendTransaction(ONEWAY, tick, nullptr, FLAG_ONEWAY))
                return s;
        }
        return OK;
    }
    sp<IBinder> listener;
};

struct Counter : LocalObject {
    Counter() : LocalObject(String16("bench.ICounter")) {}
    status_t onTransact(uint32_t, Parcel&, Parcel*, uint32_t) override { return ++count, OK; }
    int count = 0;
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

void oneWayRow(test::Registry& registry) {
    ServiceHost host(2000);
    sp<Sender> sender = make<Sender>();
    if (host.connect(registry.socketPath().c_str()) != OK ||
        host.addService(String16("bench.sender"), sender) != OK) {
        return row("one-way call back", "failed", "", -1, "≤ 1.1 ×");
    }
    std::thread serving([&] { host.serve(); });
    sp<RegistryClient> client = RegistryClient::connect(registry.socketPath().c_str(), 2000);
    sp<IBinder> object = client ? client->lookupService(String16("bench.sender")) : nullptr;
    sp<Counter> counter = make<Counter>();
    Parcel keep, tick, reply;
    keep.writeStrongBinder(counter);
    tick.writeInt32(1);
    bool ok = object && object->sendTransaction(KEEP, keep, &reply, 0) == OK;
    auto back = [&] {
        int want = counter->count + kBatch;
        return object->sendTransaction(SEND_BACK, Parcel(), &reply, 0) == OK &&
               dispatchUntil(client, *counter, want);
    };
    auto forth = [&] {
        for (int i = 0; i < kBatch; ++i)
            object->sendTransaction(ONEWAY, tick, nullptr, FLAG_ONEWAY);
        return object->sendTransaction(FLUSH, Parcel(), &reply, 0) == OK;
    };
    std::vector<double> backs, forths, ratios;
    for (int turn = 0; ok && turn < 200; ++turn) {
        double t0 = nowMicros();
        ok = back();
        double t1 = nowMicros();
        ok = ok && forth();
        double t2 = nowMicros();
        backs.push_back((t1 - t0) / kBatch);
        forths.push_back((t2 - t1) / kBatch);
        ratios.push_back((t1 - t0) / (t2 - t1));
    }
    host.stop();
    serving.join();
    row("one-way call back, host to client (batches of 100)", fixed(median(backs), "µs", 2),
        "one-way proxy call, client to host: " + fixed(median(forths), "µs", 2),
        ok ? median(ratios) : -1, "≤ 1.1 ×");
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
    oneWayRow(registry);
    tickerRow(registry);
}

}  // namespace zorlek::bench
