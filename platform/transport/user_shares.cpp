// SPDX-License-Identifier: Apache-2.0
#include "platform/transport/user_shares.h"

#include <new>

namespace zorlek {

UserShares::UserShares(const Limits& limits)
    : limits_(limits), othersBudget_(new (std::nothrow) Budget(limits.othersBytes)) {}

size_t UserShares::connectionsOf(uid_t uid) const {
    auto found = users_.find(uid);
    return found == users_.end() ? 0 : found->second.connections;
}

std::shared_ptr<Budget> UserShares::join(uid_t uid) {
    bool trust = trusted(uid);
    auto found = users_.find(uid);
    if (found == users_.end()) {
        if (!trust && !othersBudget_) return nullptr;
        std::shared_ptr<Budget> budget(trust ? new (std::nothrow) Budget(limits_.trustedBytes)
                                             : new (std::nothrow)
                                                   Budget(limits_.userBytes, othersBudget_));
        if (!budget) return nullptr;
        found = users_.emplace(uid, User{0, std::move(budget)}).first;
    }
    ++found->second.connections;
    if (!trust) ++othersConnections_;
    return found->second.budget;
}

void UserShares::leave(uid_t uid) {
    auto found = users_.find(uid);
    if (found == users_.end()) return;
    if (!trusted(uid)) --othersConnections_;
    if (--found->second.connections == 0) users_.erase(found);
}

}  // namespace zorlek
