// SPDX-License-Identifier: Apache-2.0
#include "platform/transport/user_shares.h"

#include <new>

namespace zorlek {

UserShares::UserShares(const Limits& limits)
    : limits_(limits),
      othersBudget_(new (std::nothrow) Budget(limits.othersBytes)),
      connections_(limits.ownUid) {}

std::shared_ptr<Budget> UserShares::join(uid_t uid) {
    bool trust = trusted(uid);
    auto found = budgets_.find(uid);
    if (found == budgets_.end()) {
        if (!trust && !othersBudget_) return nullptr;
        std::shared_ptr<Budget> budget(trust ? new (std::nothrow) Budget(limits_.trustedBytes)
                                             : new (std::nothrow)
                                                   Budget(limits_.userBytes, othersBudget_));
        if (!budget) return nullptr;
        found = budgets_.emplace(uid, std::move(budget)).first;
    }
    connections_.add(uid);
    return found->second;
}

void UserShares::leave(uid_t uid) {
    if (connections_.of(uid) == 0) return;
    connections_.remove(uid);
    if (connections_.of(uid) == 0) budgets_.erase(uid);
}

}  // namespace zorlek
