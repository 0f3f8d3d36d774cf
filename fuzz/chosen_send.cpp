// SPDX-License-Identifier: Apache-2.0
#include "fuzz/chosen_send.h"

#include <cstdint>

#include "platform/transport/wire.h"

namespace zorlek::fuzz {

ChosenSend sendAsChosen(HostilePeer& peer, FuzzInput& input, AttachedDescriptors& descriptors) {
    static const size_t kLimits[] = {1,   5,    kHeaderSize, kHeaderSize + 1,
                                     100, 4096, 65536,       SIZE_MAX};
    size_t limit = input.pick(kLimits);
    uint8_t attach = input.byte();
    int fds[2];
    size_t fdCount = 0;
    for (size_t i = 0; i < (attach & 3u) && i < 2; ++i) {
        int fd = descriptors.make(input.byte());
        if (fd >= 0) fds[fdCount++] = fd;
    }
    ucred credentials{};
    const ucred* claimed = nullptr;
    if ((attach & 4) != 0) {
        credentials = chosenCredentials(input.byte());
        claimed = &credentials;
    }
    ChosenSend outcome;
    outcome.sent = peer.send(limit, fds, fdCount, claimed);
    if (outcome.sent < 0 && outcome.sent != -EPIPE && fdCount > 0) {
        descriptors.settle(false);
        fdCount = 0;
        outcome.sent = peer.send(limit, nullptr, 0, claimed);
    }
    if (outcome.sent < 0 && outcome.sent != -EPIPE && claimed != nullptr) {
        claimed = nullptr;
        outcome.sent = peer.send(limit);
    }
    outcome.carriedDescriptors = outcome.sent > 0 && fdCount > 0;
    outcome.claimedCredentials = outcome.sent > 0 && claimed != nullptr;
    descriptors.settle(outcome.carriedDescriptors);
    return outcome;
}

}  // namespace zorlek::fuzz
