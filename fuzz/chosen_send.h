// SPDX-License-Identifier: Apache-2.0
// One send of a hostile peer as the fuzz input chooses it: how many of its queued bytes go,
// and which descriptors and credentials go with them. What the kernel refuses (descriptors
// where the other end refuses them, credentials this process may not claim) is sent
// without, as an attacker would.
#pragma once

#include <sys/types.h>

#include "fuzz/attached_descriptors.h"
#include "fuzz/hostile_peer.h"
#include "fuzz/input.h"

namespace zorlek::fuzz {

struct ChosenSend {
    // The bytes sent, or the failure of the send.
    ssize_t sent = 0;
    // Descriptors went with the bytes.
    bool carriedDescriptors = false;
    // Credentials were claimed for the bytes.
    bool claimedCredentials = false;
};

// Reads the choice from `input` (a size, then what to attach, then each descriptor's kind
// and the credentials when attached) and makes the send; the descriptors come from
// `descriptors`.
ChosenSend sendAsChosen(HostilePeer& peer, FuzzInput& input, AttachedDescriptors& descriptors);

}  // namespace zorlek::fuzz
