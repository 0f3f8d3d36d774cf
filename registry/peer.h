// SPDX-License-Identifier: Apache-2.0
// One client connection of the registry, as its rules and its policy see it.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <cstdint>
#include <vector>

#include "registry/name_table.h"

namespace zorlek::registry {

struct Peer {
    ConnectionId id = 0;
    // Its credentials as the kernel gave them when it connected.
    ucred credentials = {0, static_cast<uid_t>(-1), static_cast<gid_t>(-1)};
    // The protocol version it greeted with; 0 before the handshake.
    int32_t version = 0;
    // The feature bits it greeted with (wire.h's PEER_ bits).
    uint32_t features = 0;
    // Its supplementary groups as the kernel gave them when it connected (SO_PEERGROUPS).
    std::vector<gid_t> groups;
};

}  // namespace zorlek::registry
