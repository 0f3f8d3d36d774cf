// SPDX-License-Identifier: Apache-2.0
// The taps the registry has handed out: which monitor connection watches which host, so
// that each host's taps and each user's stay within their bounds. A tap is counted from
// when it is made until its monitor's or its host's registry connection ends; the host
// itself bounds the taps it keeps, whatever the registry counts.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <unordered_map>
#include <vector>

#include "platform/transport/user_counts.h"
#include "registry/name_table.h"

namespace zorlek::registry {

class TapTable {
  public:
    // `ownUid` is the registry's own user, trusted as root is.
    explicit TapTable(uid_t ownUid) : byUser_(ownUid) {}

    // The taps on `host`: all, and those of monitors other than root and the host's own
    // user (`other` at add()).
    size_t atHost(ConnectionId host) const;
    size_t ofOthersAt(ConnectionId host) const;
    // The taps the monitors of `uid` hold.
    size_t ofUser(uid_t uid) const { return byUser_.of(uid); }

    // Counts a tap of the monitor connection `monitor`, a process of `uid`, on `host`.
    void add(ConnectionId monitor, uid_t uid, ConnectionId host, bool other);
    // Forgets the newest tap of `monitor` on `host` (it could not reach the monitor).
    void removeOne(ConnectionId monitor, ConnectionId host);
    // Forgets every tap of `peer`, as a monitor and as a host (its connection ended).
    void drop(ConnectionId peer);

  private:
    struct Tap {
        ConnectionId monitor;
        ConnectionId host;
        uid_t uid;
        bool other;
    };
    // Removes the tap `tap` from the list of `key` in `table`, whose list goes when empty.
    static void unlist(std::unordered_map<ConnectionId, std::vector<Tap>>& table, ConnectionId key,
                       const Tap& tap);

    std::unordered_map<ConnectionId, std::vector<Tap>> byMonitor_;
    std::unordered_map<ConnectionId, std::vector<Tap>> byHost_;
    UserCounts byUser_;
};

}  // namespace zorlek::registry
