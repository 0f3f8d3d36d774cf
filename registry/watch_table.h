// SPDX-License-Identifier: Apache-2.0
// Clients waiting for names: each wait is for a set of names to be registered all at once
// (or, waiting for them to go, for none of them to be), and is answered the moment the
// name table makes it hold, so that nobody polls. A connection waits for one set at a
// time; a wait costs its names and a count, and nothing while the names do not change.
#pragma once

#include <cstddef>
#include <unordered_map>
#include <vector>

#include "platform/text/string16.h"
#include "platform/transport/user_counts.h"
#include "registry/name_table.h"

namespace zorlek::registry {

class WatchTable {
  public:
    // A wait that holds now: whose, and the number its client gave it.
    struct Held {
        ConnectionId client;
        uint32_t serial;
        bool operator==(const Held&) const = default;
    };

    // The names of one wait of `client`, a connection of `user`, with `table` telling
    // which are registered now: true when the wait holds already (nothing is kept), false
    // when it is kept until it holds. `names` may repeat a name; each counts once for
    // `user` while kept. The caller has checked that `client` has no wait yet.
    bool add(ConnectionId client, uid_t user, uint32_t serial, const std::vector<String16>& names,
             bool gone, const NameTable& table);

    // `name` was registered, or freed: the waits that hold now, in the order they began;
    // they are gone from the table.
    std::vector<Held> registered(const String16& name);
    std::vector<Held> removed(const String16& name);

    // Forgets the wait of `client` (its connection ended).
    void drop(ConnectionId client);

    bool waiting(ConnectionId client) const { return waits_.contains(client); }
    size_t size() const { return waits_.size(); }
    // The names the waits of `client` keep (0 when it keeps none).
    size_t namesOf(ConnectionId client) const;
    // The names the waits of `user`'s connections keep together.
    size_t namesOfUser(uid_t user) const { return namesByUser_.of(user); }

  private:
    struct Wait {
        std::vector<String16> names;  // each once
        bool gone = false;
        // The names in the state waited for now.
        size_t holding = 0;
        // When the wait began, for the order of answers.
        uint64_t order = 0;
        uint32_t serial = 0;
        uid_t user = 0;
    };
    // A name changed: registered (`nowHeld`) or freed.
    std::vector<Held> changed(const String16& name, bool nowHeld);
    void unindex(ConnectionId client, const Wait& wait);

    std::unordered_map<ConnectionId, Wait> waits_;
    // The clients waiting on each name.
    // The clients waiting on each name (keyed by a hash no peer can predict: String16's).
    std::unordered_map<String16, std::vector<ConnectionId>> byName_;
    UserCounts namesByUser_;
    uint64_t nextOrder_ = 0;
};

}  // namespace zorlek::registry
