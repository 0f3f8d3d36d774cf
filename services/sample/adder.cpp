// SPDX-License-Identifier: Apache-2.0
// A minimal service: "sample.adder" implements sample.IAdder (adder.zi) and adds integers.
#include <signal.h>

#include "adder.zi.h"
#include "platform/text.h"

using namespace zorlek;

struct Adder : sample::IAdder::Service {
    status_t add(int32_t a, int32_t b, int32_t* sum) override {
        int64_t total = int64_t{a} + b;
        if (total < INT32_MIN || total > INT32_MAX) return -EOVERFLOW;
        *sum = static_cast<int32_t>(total);
        return OK;
    }
};

int main() {
    openStandardDescriptors();  // first: no socket may become standard output
    static ServiceHost host;
    signal(SIGTERM, [](int) { host.stop(); });  // stop() is async-signal-safe
    status_t status = host.connect();           // the registry at $ZORLEK_REGISTRY
    if (status == OK) status = host.addService(String16("sample.adder"), make<Adder>());
    if (status != OK) {  // a refusal comes with the registry's reason
        aerr << "adder: " << describeHostStatus(status);
        if (host.refusalReason().size() > 0) aerr << ": " << host.refusalReason();
        aerr << endl;
        return 1;
    }
    aout << "ready\n";
    aout.flush();
    return host.serve() == OK ? 0 : 1;
}
