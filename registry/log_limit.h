// SPDX-License-Identifier: Apache-2.0
// How many lines one user can have the registry write. Registrations, removals and
// refusals are lines any user causes at will, as fast as it can connect and register; so
// each user other than root and the registry's own gets a set number of lines a second,
// and one more line says how many of its lines were left out.
#pragma once

#include "registry/limits.h"

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <unordered_map>

namespace zorlek::registry {

class LogLimit {
  public:
    // Lines one user may have written in a second.
    static constexpr uint32_t kLinesPerSecond = kLogLinesPerSecond;

    // True when a line about `uid` may be written at `nowMs` (monotonicMs()); false counts
    // it as left out. A user's second starts with its first line.
    bool admit(uid_t uid, int64_t nowMs);

    // Writes, for every user whose second ended with lines left out, one line saying how
    // many, and forgets the users whose second has ended.
    void report(int64_t nowMs);
    // When report() has something to do next; -1 when nothing is counted.
    int64_t due() const { return users_.empty() ? -1 : due_; }

  private:
    struct Second {
        int64_t start = 0;
        uint32_t written = 0;
        uint32_t leftOut = 0;
    };
    static void writeLeftOut(uid_t uid, const Second& second);

    std::unordered_map<uid_t, Second> users_;
    // No later than the end of the earliest second counted.
    int64_t due_ = 0;
};

}  // namespace zorlek::registry
