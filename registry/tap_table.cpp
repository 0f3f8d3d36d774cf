// SPDX-License-Identifier: Apache-2.0
#include "registry/tap_table.h"

#include <algorithm>

namespace zorlek::registry {

size_t TapTable::atHost(ConnectionId host) const {
    auto found = byHost_.find(host);
    return found == byHost_.end() ? 0 : found->second.size();
}

size_t TapTable::ofOthersAt(ConnectionId host) const {
    auto found = byHost_.find(host);
    if (found == byHost_.end()) return 0;
    return static_cast<size_t>(std::count_if(found->second.begin(), found->second.end(),
                                             [](const Tap& tap) { return tap.other; }));
}

void TapTable::add(ConnectionId monitor, uid_t uid, ConnectionId host, bool other) {
    Tap tap{monitor, host, uid, other};
    byMonitor_[monitor].push_back(tap);
    byHost_[host].push_back(tap);
    byUser_.add(uid);
}

void TapTable::unlist(std::unordered_map<ConnectionId, std::vector<Tap>>& table, ConnectionId key,
                      const Tap& tap) {
    auto found = table.find(key);
    if (found == table.end()) return;
    std::vector<Tap>& taps = found->second;
    auto same = [&tap](const Tap& other) {
        return other.monitor == tap.monitor && other.host == tap.host;
    };
    auto at = std::find_if(taps.rbegin(), taps.rend(), same);
    if (at != taps.rend()) taps.erase(std::next(at).base());
    if (taps.empty()) table.erase(found);
}

void TapTable::removeOne(ConnectionId monitor, ConnectionId host) {
    auto found = byMonitor_.find(monitor);
    if (found == byMonitor_.end()) return;
    for (const Tap& tap : found->second) {
        if (tap.host != host) continue;
        Tap gone = tap;
        unlist(byHost_, host, gone);
        unlist(byMonitor_, monitor, gone);
        byUser_.remove(gone.uid);
        return;
    }
}

void TapTable::drop(ConnectionId peer) {
    if (auto found = byMonitor_.find(peer); found != byMonitor_.end()) {
        std::vector<Tap> taps = std::move(found->second);
        byMonitor_.erase(found);
        for (const Tap& tap : taps) {
            unlist(byHost_, tap.host, tap);
            byUser_.remove(tap.uid);
        }
    }
    if (auto found = byHost_.find(peer); found != byHost_.end()) {
        std::vector<Tap> taps = std::move(found->second);
        byHost_.erase(found);
        for (const Tap& tap : taps) {
            unlist(byMonitor_, tap.monitor, tap);
            byUser_.remove(tap.uid);
        }
    }
}

}  // namespace zorlek::registry
