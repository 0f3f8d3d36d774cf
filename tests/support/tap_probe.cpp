// SPDX-License-Identifier: Apache-2.0
// zorlek-tap-probe: a monitor as another user, for the monitor tests. Asks the registry at
// $ZORLEK_REGISTRY for COUNT taps on the host of NAME (default 1), prints the status of
// each on one line, separated by spaces, and exits, closing them.
//
//   zorlek-tap-probe NAME [COUNT]

#include <cstdio>
#include <cstdlib>

#include "platform/base/registry_path.h"
#include "platform/ipc/registry_client.h"

int main(int argc, char** argv) {
    using namespace zorlek;
    if (argc < 2) return 2;
    int count = argc > 2 ? std::atoi(argv[2]) : 1;
    sp<RegistryClient> client = RegistryClient::connect(registryPath(), 5000);
    if (!client) {
        std::printf("no registry\n");
        return 1;
    }
    std::vector<unique_fd> taps;
    for (int i = 0; i < count; ++i) {
        uint32_t handle = 0;
        unique_fd tap;
        status_t status = client->monitor(String16(argv[1]), 64, &handle, &tap);
        std::printf(i == 0 ? "%d" : " %d", status);
        taps.push_back(std::move(tap));
    }
    std::printf("\n");
    return 0;
}
