// SPDX-License-Identifier: Apache-2.0
// The descriptors the registry has handed out that their receivers may not have taken
// yet: waiting in its send queues, or sent and still in the receiver's socket, where the
// kernel holds them in flight. Each is charged to the user on whose behalf it went: the
// user that looked a name up, for both ends of the channel its lookup made.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/transport/user_counts.h"
#include "registry/name_table.h"

namespace zorlek::registry {

class DescriptorLedger {
  public:
    // `ownUid` is the registry's own user, trusted as root is (others()).
    explicit DescriptorLedger(uid_t ownUid) : byUser_(ownUid) {}

    // One descriptor sent (or queued) to `at`, on behalf of `user`.
    void charge(ConnectionId at, uid_t user);
    // `at` has taken everything it was sent, or is gone: what it was charged is released.
    void settle(ConnectionId at);

    // Charged at one connection: in all, and for one user.
    size_t at(ConnectionId connection) const;
    size_t at(ConnectionId connection, uid_t user) const;
    // Charged to one user, at every connection.
    size_t of(uid_t user) const;
    // Charged to all users but root and the registry's own, together.
    size_t others() const { return byUser_.others(); }
    size_t total() const { return total_; }
    // The connections charged anything, to look at again.
    std::vector<ConnectionId> charged() const;

  private:
    struct Charges {
        std::vector<std::pair<uid_t, size_t>> byUser;
        size_t total = 0;
    };
    std::unordered_map<ConnectionId, Charges> at_;
    UserCounts byUser_;
    size_t total_ = 0;
};

}  // namespace zorlek::registry
