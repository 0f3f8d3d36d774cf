// SPDX-License-Identifier: Apache-2.0
#include "platform/transport/user_counts.h"

namespace zorlek {

size_t UserCounts::of(uid_t uid) const {
    auto found = counts_.find(uid);
    return found == counts_.end() ? 0 : found->second;
}

void UserCounts::add(uid_t uid, size_t count) {
    if (count == 0) return;
    counts_[uid] += count;
    if (!trusted(uid)) others_ += count;
}

void UserCounts::remove(uid_t uid, size_t count) {
    auto found = counts_.find(uid);
    if (found == counts_.end() || count == 0) return;
    if (count > found->second) count = found->second;
    if (!trusted(uid)) others_ -= count;
    if ((found->second -= count) == 0) counts_.erase(found);
}

}  // namespace zorlek
