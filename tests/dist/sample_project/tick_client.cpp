// SPDX-License-Identifier: Apache-2.0
// A client of sample.ticker built against the installed library: it passes a listener of
// its own to probe(), which the ticker pings while the client waits. Prints the answer.
#include "platform/hosting.h"
#include "platform/text.h"
#include "ticker.zi.h"

using namespace zorlek;

struct Listener : sample::ITickListener::Service {
    status_t tick(int64_t) override { return OK; }
    status_t ping(int32_t n, int32_t* echo) override {
        *echo = n * 3;
        return OK;
    }
};

int main() {
    sp<ServiceManager> registry = defaultServiceManager();
    sp<IBinder> object = registry ? registry->lookupService(String16("sample.ticker")) : nullptr;
    if (!object) {
        aerr << "tick-client: no sample.ticker" << endl;
        return 1;
    }
    int32_t answer = 0;
    status_t status = sample::ITicker::Proxy(object).probe(make<Listener>(), 14, &answer);
    if (status != OK) {
        aerr << "tick-client: probe failed with " << status << endl;
        return 1;
    }
    aout << "answer " << answer << "\n";
    aout.flush();
    return 0;
}
