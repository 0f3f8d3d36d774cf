// SPDX-License-Identifier: Apache-2.0
// A service that calls its callers back: "sample.ticker" implements sample.ITicker
// (ticker.zi). Each subscribed listener gets tick(1), tick(2), ... one-way every period
// until its process goes; probe() calls a listener's ping() while the caller waits.
#include <signal.h>

#include <chrono>
#include <vector>

#include "platform/hosting.h"
#include "platform/text.h"
#include "services/sample/limits.h"
#include "ticker.zi.h"

using namespace zorlek;

namespace {

int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

class Ticker : public sample::ITicker::Service {
  public:
    explicit Ticker(ServiceHost& host) : timer_(host, [this] { tickDue(); }) {}

    status_t subscribe(const sp<IBinder>& listener, int32_t periodMs,
                       int32_t* subscribers) override {
        if (!listener || periodMs < kMinTickPeriodMs || periodMs > kMaxTickPeriodMs) {
            return -EINVAL;
        }
        sweep();
        Subscriber* known = find(listener);
        if (known == nullptr) {
            if (subscribers_.size() >= kMaxTickerSubscribers) return -EUSERS;
            // Its process going is told on the loop; it is dropped at the next sweep.
            status_t status = listener->notifyWhenGone(make<Gone>(this, listener.get()));
            if (status != OK) return status;
            subscribers_.push_back(Subscriber{listener, 0, 0, 0, false});
            known = &subscribers_.back();
        }
        known->periodMs = periodMs;
        known->nextMs = nowMs() + periodMs;
        arm();
        *subscribers = static_cast<int32_t>(subscribers_.size());
        return OK;
    }

    status_t probe(const sp<IBinder>& listener, int32_t n, int32_t* answer) override {
        if (!listener) return -EINVAL;
        return sample::ITickListener::Proxy(listener).ping(n, answer);
    }

  private:
    struct Subscriber {
        sp<IBinder> listener;
        int32_t periodMs;
        int64_t nextMs;
        int64_t ticks;
        bool gone;
    };
    struct Gone : DeathRecipient {
        Gone(Ticker* ticker, IBinder* listener) : ticker_(ticker), listener_(listener) {}
        void onGone() override { ticker_->markGone(listener_); }
        Ticker* ticker_;     // the ticker lives as long as its host
        IBinder* listener_;  // compared, never called
    };

    Subscriber* find(const sp<IBinder>& listener) {
        for (Subscriber& s : subscribers_) {
            if (s.listener == listener && !s.gone) return &s;
        }
        return nullptr;
    }
    void markGone(IBinder* listener) {
        for (Subscriber& s : subscribers_) {
            if (s.listener.get() == listener) s.gone = true;
        }
        timer_.armIn(0);  // dropped there, out of the notice's handling
    }
    void sweep() {
        std::erase_if(subscribers_, [](const Subscriber& s) { return s.gone; });
    }

    // Ticks every listener that is due. A listener that does not read (-ENOBUFS) misses
    // this tick alone; one whose channel ended (-EPIPE) is dropped when its notice comes,
    // so that the notice never names a listener already let go.
    void tickDue() {
        int64_t now = nowMs();
        for (Subscriber& s : subscribers_) {
            if (s.gone || s.nextMs > now) continue;
            sample::ITickListener::Proxy(s.listener).tick(++s.ticks);
            // A late loop does not make a burst: the next tick is a period from now.
            s.nextMs = s.nextMs + s.periodMs > now ? s.nextMs + s.periodMs : now + s.periodMs;
        }
        sweep();
        arm();
    }
    void arm() {
        if (subscribers_.empty()) return timer_.disarm();
        int64_t next = subscribers_.front().nextMs;
        for (const Subscriber& s : subscribers_) next = s.nextMs < next ? s.nextMs : next;
        timer_.armIn(next - nowMs());
    }

    std::vector<Subscriber> subscribers_;
    HostTimer timer_;
};

}  // namespace

int main() {
    openStandardDescriptors();  // first: no socket may become standard output
    static ServiceHost host;
    signal(SIGTERM, [](int) { host.stop(); });  // stop() is async-signal-safe
    signal(SIGPIPE, SIG_IGN);
    sp<Ticker> ticker = make<Ticker>(host);
    status_t status = host.connect();  // the registry at $ZORLEK_REGISTRY
    if (status == OK) status = host.addService(String16("sample.ticker"), ticker);
    if (status != OK) {
        aerr << "ticker: " << describeHostStatus(status);
        if (host.refusalReason().size() > 0) aerr << ": " << host.refusalReason();
        aerr << endl;
        return 1;
    }
    aout << "ready\n";
    aout.flush();
    return host.serve() == OK ? 0 : 1;
}
