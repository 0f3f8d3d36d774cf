// SPDX-License-Identifier: Apache-2.0
// Counting per user: steps of adding and taking, with the count of each user, the total of
// the untrusted ones and the users on record after each step.
#include "platform/transport/user_counts.h"

#include <gtest/gtest.h>

namespace zorlek {
namespace {

TEST(UserCounts, CountsPerUserErasesAtZeroAndKeepsTheOthersTotal) {
    constexpr uid_t kOwn = 500;
    struct Step {
        const char* what;
        bool add;
        uid_t uid;
        size_t count;
        size_t of;      // the user's count after it
        size_t others;  // the untrusted users' total after it
        size_t users;   // users on record after it
    };
    const Step steps[] = {
        {"a user's first", true, 1000, 3, 3, 3, 1},
        {"another user", true, 1001, 2, 2, 5, 2},
        {"root is trusted", true, 0, 7, 7, 5, 3},
        {"so is the server's own user", true, kOwn, 1, 1, 5, 4},
        {"adding nothing keeps no record", true, 1002, 0, 0, 5, 4},
        {"taking some", false, 1000, 1, 2, 4, 4},
        {"taking more than it has takes what it has", false, 1001, 9, 0, 2, 3},
        {"a user without a record", false, 1003, 1, 0, 2, 3},
        {"root to zero", false, 0, 7, 0, 2, 2},
        {"the own user to zero", false, kOwn, 1, 0, 2, 1},
        {"the last", false, 1000, 2, 0, 0, 0},
    };
    UserCounts counts(kOwn);
    for (const Step& step : steps) {
        if (step.add) {
            counts.add(step.uid, step.count);
        } else {
            counts.remove(step.uid, step.count);
        }
        EXPECT_EQ(counts.of(step.uid), step.of) << step.what;
        EXPECT_EQ(counts.others(), step.others) << step.what;
        EXPECT_EQ(counts.users(), step.users) << step.what;
    }
}

TEST(UserCounts, RootAndTheOwnUserAreTrustedAndNobodyElse) {
    const struct {
        uid_t uid, own;
        bool trusted;
    } cases[] = {{0, 0, true},     {0, 1000, true},      {1000, 1000, true},
                 {1000, 0, false}, {65534, 1000, false}, {static_cast<uid_t>(-1), 0, false}};
    for (const auto& c : cases) {
        EXPECT_EQ(trustedUser(c.uid, c.own), c.trusted) << c.uid << " under " << c.own;
        EXPECT_EQ(UserCounts(c.own).trusted(c.uid), c.trusted) << c.uid << " under " << c.own;
    }
}

}  // namespace
}  // namespace zorlek
