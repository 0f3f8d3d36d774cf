// SPDX-License-Identifier: Apache-2.0
// zorlek-every-type NAME...: serves the test service of every type under each NAME, writes
// "ready" once all are registered, and serves until SIGTERM.
#include <signal.h>

#include "platform/text.h"
#include "tests/idl/every_type_service.h"

using namespace zorlek;

namespace {
ServiceHost host;
}  // namespace

int main(int argc, char** argv) {
    signal(SIGTERM, [](int) { host.stop(); });
    status_t status = host.connect();
    for (int i = 1; status == OK && i < argc; ++i) {
        status = host.addService(String16(argv[i]), make<zorlek::test::EveryType>());
    }
    if (status != OK) {
        aerr << "zorlek-every-type: " << describeHostStatus(status) << endl;
        return 1;
    }
    aout << "ready\n";
    aout.flush();
    return host.serve() == OK ? 0 : 1;
}
