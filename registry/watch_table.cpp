// SPDX-License-Identifier: Apache-2.0
#include "registry/watch_table.h"

#include <algorithm>
#include <unordered_set>

namespace zorlek::registry {

bool WatchTable::add(ConnectionId client, uid_t user, uint32_t serial,
                     const std::vector<String16>& names, bool gone, const NameTable& table) {
    Wait wait;
    wait.gone = gone;
    wait.serial = serial;
    wait.user = user;
    // Each name once, in the order asked: a lookup a name, not a search of those before.
    std::unordered_set<String16> seen;
    seen.reserve(names.size());
    for (const String16& name : names) {
        if (!seen.insert(name).second) continue;
        wait.names.push_back(name);
        if ((table.find(name) != nullptr) != gone) ++wait.holding;
    }
    if (wait.holding == wait.names.size()) return true;
    wait.order = nextOrder_++;
    for (const String16& name : wait.names) byName_[name].push_back(client);
    namesByUser_.add(user, wait.names.size());
    waits_.emplace(client, std::move(wait));
    return false;
}

std::vector<WatchTable::Held> WatchTable::registered(const String16& name) {
    return changed(name, true);
}

std::vector<WatchTable::Held> WatchTable::removed(const String16& name) {
    return changed(name, false);
}

size_t WatchTable::namesOf(ConnectionId client) const {
    auto found = waits_.find(client);
    return found == waits_.end() ? 0 : found->second.names.size();
}

std::vector<WatchTable::Held> WatchTable::changed(const String16& name, bool nowHeld) {
    std::vector<Held> holding;
    auto watchers = byName_.find(name);
    if (watchers == byName_.end()) return holding;
    for (ConnectionId client : watchers->second) {
        Wait& wait = waits_.at(client);
        // Registered counts for a wait for names to come, freed for one for them to go.
        if (nowHeld != wait.gone) {
            ++wait.holding;
        } else {
            --wait.holding;
        }
        if (wait.holding == wait.names.size()) holding.push_back({client, wait.serial});
    }
    std::sort(holding.begin(), holding.end(), [this](const Held& a, const Held& b) {
        return waits_.at(a.client).order < waits_.at(b.client).order;
    });
    for (const Held& held : holding) drop(held.client);
    return holding;
}

void WatchTable::drop(ConnectionId client) {
    auto found = waits_.find(client);
    if (found == waits_.end()) return;
    unindex(client, found->second);
    namesByUser_.remove(found->second.user, found->second.names.size());
    waits_.erase(found);
}

void WatchTable::unindex(ConnectionId client, const Wait& wait) {
    for (const String16& name : wait.names) {
        auto watchers = byName_.find(name);
        if (watchers == byName_.end()) continue;
        std::vector<ConnectionId>& list = watchers->second;
        list.erase(std::remove(list.begin(), list.end(), client), list.end());
        if (list.empty()) byName_.erase(watchers);
    }
}

}  // namespace zorlek::registry
