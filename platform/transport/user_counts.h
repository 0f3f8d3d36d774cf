// SPDX-License-Identifier: Apache-2.0
// Who is trusted, and counting something per user: the one rule and the one counter of the
// registry and of hosts, for connections, names, waiting names and descriptors alike.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <unordered_map>

namespace zorlek {

// True for the users a server trusts as it trusts itself: root and its own user `ownUid`.
// Their limits are their own; every other user's also draw on what all of them share.
inline bool trustedUser(uid_t uid, uid_t ownUid) {
    return uid == 0 || uid == ownUid;
}

// A count per user, with the total of the users that are not trusted. A user's record goes
// when its count reaches zero, so the table holds only the users that hold something.
class UserCounts {
  public:
    // `ownUid` is the server's own user, trusted as root is.
    explicit UserCounts(uid_t ownUid = 0) : ownUid_(ownUid) {}

    bool trusted(uid_t uid) const { return trustedUser(uid, ownUid_); }
    // The count of `uid` (0 when it holds nothing).
    size_t of(uid_t uid) const;
    // The counts of all users but the trusted ones, together.
    size_t others() const { return others_; }
    // The users that hold something.
    size_t users() const { return counts_.size(); }

    void add(uid_t uid, size_t count = 1);
    // Takes `count` from `uid`, at most what it has; its record goes at zero.
    void remove(uid_t uid, size_t count = 1);

  private:
    uid_t ownUid_;
    std::unordered_map<uid_t, size_t> counts_;
    size_t others_ = 0;
};

}  // namespace zorlek
