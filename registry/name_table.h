// SPDX-License-Identifier: Apache-2.0
// The registry's rules, apart from any socket: which names are valid, who holds which
// name, and the sorted listing (who may register is the policy's: registry/policy.h).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "platform/base/status.h"
#include "platform/text/string16.h"

namespace zorlek::registry {

// Identifies one client connection of the registry; never reused within a run.
using ConnectionId = uint64_t;

// 0 when `name` may be registered: 1 to 256 UTF-16 code units of well-formed UTF-16
// (every surrogate in a pair), with no unit below 0x20 and no 0x7F. Else -EINVAL.
status_t validateName(const String16& name);

// The bytes a name takes in a listing page (as a UTF-16 string item).
size_t listedSize(const String16& name);

// Who holds a name: the hosting connection, and its handle for the object.
struct Holder {
    ConnectionId owner = 0;
    uint32_t handle = 0;
    // When it was registered, in milliseconds since the epoch.
    int64_t sinceMs = 0;
};

// The names and their holders.
class NameTable {
  public:
    // Gives `name` to `owner`, whose object for it is `handle`. Returns 0, -EINVAL for an
    // invalid name, or -EEXIST when the name is held (by any connection, `owner`
    // included).
    status_t add(const String16& name, ConnectionId owner, uint32_t handle);
    // As add(), registered at `sinceMs` (milliseconds since the epoch).
    status_t add(const String16& name, ConnectionId owner, uint32_t handle, int64_t sinceMs);

    // The connection holding `name`, if any.
    std::optional<ConnectionId> holder(const String16& name) const;
    // Who holds `name`; null when nobody does. Valid until the table next changes.
    const Holder* find(const String16& name) const;

    // Frees every name `owner` holds, at once, and returns them in code-unit order.
    std::vector<String16> releaseAll(ConnectionId owner);

    // The names after `after` (all names when null), in code-unit order, as many as fit
    // in `budgetBytes` of listedSize() each after a 4-byte count (at least one, when
    // any is left). `*more` tells whether names remain after the last one returned.
    std::vector<String16> page(const String16* after, size_t budgetBytes, bool* more) const;

    // The number of names `owner` holds.
    size_t countOf(ConnectionId owner) const;
    // The names `owner` holds, in code-unit order.
    std::vector<String16> namesOf(ConnectionId owner) const;
    // The connections that hold a name.
    std::vector<ConnectionId> owners() const;

  private:
    // Ordered by code units, which is the listing order.
    std::map<String16, Holder> holders_;
    std::map<ConnectionId, std::vector<String16>> owned_;
};

}  // namespace zorlek::registry
