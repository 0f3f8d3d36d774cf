// SPDX-License-Identifier: Apache-2.0
// What each user holds of a server (the registry, or a host's channels): how many
// connections, and the budget they share. Root and the server's own user are trusted:
// their budget is their own and draws on nothing else. All other users draw also on one
// budget they share, and their connections are counted together too, so that many users
// pushing at once cannot take what is kept for the trusted ones.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <unordered_map>

#include "platform/transport/budget.h"
#include "platform/transport/user_counts.h"

namespace zorlek {

class UserShares {
  public:
    struct Limits {
        // The server's own user, trusted as root is.
        uid_t ownUid = 0;
        // Bytes the connections of each other user may hold, and of each trusted one.
        size_t userBytes = 0;
        size_t trustedBytes = 0;
        // Bytes all other users' connections may hold together.
        size_t othersBytes = 0;
    };

    explicit UserShares(const Limits& limits);
    UserShares(const UserShares&) = delete;
    UserShares& operator=(const UserShares&) = delete;

    // True for root and the server's own user.
    bool trusted(uid_t uid) const { return connections_.trusted(uid); }

    // The connections `uid` holds now.
    size_t connectionsOf(uid_t uid) const { return connections_.of(uid); }
    // The connections all other users hold together.
    size_t othersConnections() const { return connections_.others(); }
    // The users that hold a connection now.
    size_t users() const { return connections_.users(); }

    // Counts one more connection of `uid` and returns the budget it shares with that user's
    // other connections (made with the user's first). Null, with nothing counted, when
    // memory for it runs out. Every join() that returned a budget is matched by one leave(),
    // also when the connection could not start.
    std::shared_ptr<Budget> join(uid_t uid);
    // Counts one connection of `uid` less; the user's record goes with its last one, so
    // that no empty record stays.
    void leave(uid_t uid);

  private:
    Limits limits_;
    // Null when memory for it ran out: other users are then refused.
    std::shared_ptr<Budget> othersBudget_;
    UserCounts connections_;
    // The budget of each user that holds a connection.
    std::unordered_map<uid_t, std::shared_ptr<Budget>> budgets_;
};

}  // namespace zorlek
