// SPDX-License-Identifier: Apache-2.0
#include "registry/descriptor_ledger.h"

#include <algorithm>

namespace zorlek::registry {

void DescriptorLedger::charge(ConnectionId at, uid_t user) {
    Charges& charges = at_[at];
    auto found = std::find_if(charges.byUser.begin(), charges.byUser.end(),
                              [user](const auto& entry) { return entry.first == user; });
    if (found == charges.byUser.end()) {
        charges.byUser.emplace_back(user, 1);
    } else {
        ++found->second;
    }
    ++charges.total;
    byUser_.add(user);
    ++total_;
}

void DescriptorLedger::settle(ConnectionId at) {
    auto found = at_.find(at);
    if (found == at_.end()) return;
    for (const auto& [user, held] : found->second.byUser) byUser_.remove(user, held);
    total_ -= found->second.total;
    at_.erase(found);
}

size_t DescriptorLedger::at(ConnectionId connection) const {
    auto found = at_.find(connection);
    return found == at_.end() ? 0 : found->second.total;
}

size_t DescriptorLedger::at(ConnectionId connection, uid_t user) const {
    auto found = at_.find(connection);
    if (found == at_.end()) return 0;
    for (const auto& [who, held] : found->second.byUser) {
        if (who == user) return held;
    }
    return 0;
}

size_t DescriptorLedger::of(uid_t user) const {
    return byUser_.of(user);
}

std::vector<ConnectionId> DescriptorLedger::charged() const {
    std::vector<ConnectionId> out;
    out.reserve(at_.size());
    for (const auto& [connection, charges] : at_) out.push_back(connection);
    return out;
}

}  // namespace zorlek::registry
