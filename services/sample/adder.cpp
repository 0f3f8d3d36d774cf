// SPDX-License-Identifier: Apache-2.0
// A minimal service: "sample.adder" adds two 32-bit integers (transaction code 1).
#include <signal.h>

#include "platform/hosting.h"
#include "platform/text.h"

using namespace zorlek;

class Adder : public LocalObject {
  public:
    Adder() : LocalObject(String16("sample.IAdder")) {}
    status_t onTransact(uint32_t code, Parcel& data, Parcel* reply, uint32_t flags) override {
        if (code != 1) return LocalObject::onTransact(code, data, reply, flags);
        int32_t a = 0, b = 0;
        if (!data.enforceInterface(descriptor())) return -EBADMSG;
        if (data.readInt32(&a) != OK || data.readInt32(&b) != OK) return -EBADMSG;
        int64_t sum = int64_t{a} + b;
        if (sum < INT32_MIN || sum > INT32_MAX) return -EOVERFLOW;
        return reply->writeInt32(static_cast<int32_t>(sum));
    }
};

int main() {
    openStandardDescriptors();  // first: no socket may become standard output
    static ServiceHost host;
    signal(SIGTERM, [](int) { host.stop(); });  // stop() is async-signal-safe
    status_t status = host.connect();           // the registry at $ZORLEK_REGISTRY
    if (status == OK) status = host.addService(String16("sample.adder"), make<Adder>());
    if (status != OK) {
        aerr << "adder: " << describeHostStatus(status) << endl;
        return 1;
    }
    aout << "ready\n";
    aout.flush();
    return host.serve() == OK ? 0 : 1;
}
