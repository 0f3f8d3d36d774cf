// SPDX-License-Identifier: Apache-2.0
#include "registry/name_table.h"

#include <time.h>

#include <algorithm>

#include "platform/transport/wire.h"

namespace zorlek::registry {

status_t validateName(const String16& name) {
    size_t units = name.size();
    if (units == 0 || units > kMaxNameUnits) return -EINVAL;
    for (size_t i = 0; i < units; ++i) {
        char16_t unit = name[i];
        if (unit < 0x20 || unit == 0x7F) return -EINVAL;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            // A high surrogate must be followed by a low one; the pair is one character.
            if (i + 1 == units || name[i + 1] < 0xDC00 || name[i + 1] > 0xDFFF) return -EINVAL;
            ++i;
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            return -EINVAL;
        }
    }
    return OK;
}

size_t listedSize(const String16& name) {
    return (4 + (name.size() + 1) * 2 + 3) & ~size_t{3};
}

status_t NameTable::add(const String16& name, ConnectionId owner, uint32_t handle) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return add(name, owner, handle, int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000);
}

status_t NameTable::add(const String16& name, ConnectionId owner, uint32_t handle,
                        int64_t sinceMs) {
    if (validateName(name) != OK) return -EINVAL;
    auto [where, added] = holders_.emplace(name, Holder{owner, handle, sinceMs});
    if (!added) return -EEXIST;
    owned_[owner].push_back(name);
    return OK;
}

std::optional<ConnectionId> NameTable::holder(const String16& name) const {
    auto found = holders_.find(name);
    if (found == holders_.end()) return std::nullopt;
    return found->second.owner;
}

const Holder* NameTable::find(const String16& name) const {
    auto found = holders_.find(name);
    return found == holders_.end() ? nullptr : &found->second;
}

std::vector<String16> NameTable::releaseAll(ConnectionId owner) {
    auto found = owned_.find(owner);
    if (found == owned_.end()) return {};
    std::vector<String16> names = std::move(found->second);
    owned_.erase(found);
    for (const String16& name : names) holders_.erase(name);
    std::sort(names.begin(), names.end());
    return names;
}

size_t NameTable::countOf(ConnectionId owner) const {
    auto found = owned_.find(owner);
    return found == owned_.end() ? 0 : found->second.size();
}

std::vector<String16> NameTable::namesOf(ConnectionId owner) const {
    auto found = owned_.find(owner);
    if (found == owned_.end()) return {};
    std::vector<String16> names = found->second;
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<ConnectionId> NameTable::owners() const {
    std::vector<ConnectionId> out;
    out.reserve(owned_.size());
    for (const auto& [owner, names] : owned_) out.push_back(owner);
    return out;
}

std::vector<String16> NameTable::page(const String16* after, size_t budgetBytes, bool* more) const {
    std::vector<String16> names;
    auto at = after != nullptr ? holders_.upper_bound(*after) : holders_.begin();
    size_t used = 4;
    for (; at != holders_.end(); ++at) {
        size_t size = listedSize(at->first);
        if (!names.empty() && used + size > budgetBytes) break;
        used += size;
        names.push_back(at->first);
    }
    *more = at != holders_.end();
    return names;
}

}  // namespace zorlek::registry
