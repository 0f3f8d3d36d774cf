// SPDX-License-Identifier: Apache-2.0
// Waits for names to come or go, against the name table: answered at once when they hold,
// else at the change that makes them hold, and only then.
#include "registry/watch_table.h"

#include <gtest/gtest.h>

namespace zorlek::registry {
namespace {

std::vector<String16> names(std::initializer_list<const char16_t*> list) {
    std::vector<String16> out;
    for (const char16_t* name : list) out.push_back(String16(std::u16string(name)));
    return out;
}

String16 n(const char16_t* name) {
    return String16(std::u16string(name));
}

using Ids = std::vector<ConnectionId>;

// The clients of the waits that hold, checking that each came with its own number (the
// tests give client N the number N + 100).
Ids clients(const std::vector<WatchTable::Held>& held) {
    Ids out;
    for (const WatchTable::Held& each : held) {
        EXPECT_EQ(each.serial, each.client + 100);
        out.push_back(each.client);
    }
    return out;
}

TEST(WatchTable, AWaitThatHoldsAlreadyIsAnsweredAtOnceAndKeptNowhere) {
    NameTable table;
    ASSERT_EQ(table.add(n(u"a"), 1, 1), OK);
    WatchTable watches;
    EXPECT_TRUE(watches.add(7, 1000, 107, names({u"a", u"a"}), false, table));
    EXPECT_TRUE(watches.add(8, 1000, 108, names({u"b"}), true, table));
    EXPECT_EQ(watches.size(), 0u);
}

TEST(WatchTable, AnsweredWhenEveryNameIsThereAtOnceAndNotBefore) {
    NameTable table;
    WatchTable watches;
    ASSERT_FALSE(watches.add(7, 1000, 107, names({u"a", u"b", u"a"}), false, table));
    EXPECT_EQ(watches.namesOf(7), 2u);
    ASSERT_EQ(table.add(n(u"a"), 1, 1), OK);
    EXPECT_EQ(clients(watches.registered(n(u"a"))), Ids{});
    // "a" goes again before "b" comes: both must be there at one moment.
    table.releaseAll(1);
    EXPECT_EQ(clients(watches.removed(n(u"a"))), Ids{});
    ASSERT_EQ(table.add(n(u"b"), 2, 1), OK);
    EXPECT_EQ(clients(watches.registered(n(u"b"))), Ids{});
    EXPECT_TRUE(watches.waiting(7));
    ASSERT_EQ(table.add(n(u"a"), 3, 1), OK);
    EXPECT_EQ(clients(watches.registered(n(u"a"))), Ids{7});
    EXPECT_FALSE(watches.waiting(7));
    // Answered once: later changes tell it nothing.
    EXPECT_EQ(clients(watches.removed(n(u"a"))), Ids{});
}

TEST(WatchTable, WaitsForNamesToGoAndAnswersInTheOrderTheyBegan) {
    NameTable table;
    ASSERT_EQ(table.add(n(u"a"), 1, 1), OK);
    ASSERT_EQ(table.add(n(u"b"), 1, 2), OK);
    WatchTable watches;
    ASSERT_FALSE(watches.add(9, 1000, 109, names({u"a", u"b"}), true, table));
    ASSERT_FALSE(watches.add(4, 1000, 104, names({u"b"}), true, table));
    EXPECT_TRUE(watches.add(6, 1000, 106, names({u"a"}), false, table));
    EXPECT_EQ(clients(watches.removed(n(u"a"))), Ids{});
    EXPECT_EQ(clients(watches.removed(n(u"b"))), (Ids{9, 4}));
    EXPECT_EQ(watches.size(), 0u);
}

TEST(WatchTable, AConnectionThatEndsTakesItsWaitWithIt) {
    NameTable table;
    WatchTable watches;
    ASSERT_FALSE(watches.add(7, 1000, 107, names({u"a"}), false, table));
    ASSERT_FALSE(watches.add(8, 1000, 108, names({u"a"}), false, table));
    watches.drop(7);
    watches.drop(7);
    EXPECT_EQ(clients(watches.registered(n(u"a"))), Ids{8});
    EXPECT_EQ(watches.size(), 0u);
}

TEST(WatchTable, EachUsersWaitingNamesCountWhileKeptAndNoLonger) {
    NameTable table;
    WatchTable watches;
    auto counts = [&] {
        return std::vector<size_t>{watches.namesOfUser(1000), watches.namesOfUser(1001),
                                   watches.namesOfUser(1002)};
    };
    using Counts = std::vector<size_t>;
    ASSERT_FALSE(watches.add(1, 1000, 101, names({u"a", u"b", u"a"}), false, table));
    ASSERT_FALSE(watches.add(2, 1000, 102, names({u"c"}), false, table));
    ASSERT_FALSE(watches.add(3, 1001, 103, names({u"a"}), false, table));
    // Held at once: kept nowhere, counted for nobody.
    EXPECT_TRUE(watches.add(4, 1002, 104, names({u"z", u"y"}), true, table));
    EXPECT_EQ(counts(), (Counts{3, 1, 0}));
    ASSERT_EQ(table.add(n(u"a"), 9, 1), OK);
    EXPECT_EQ(clients(watches.registered(n(u"a"))), Ids{3});
    EXPECT_EQ(counts(), (Counts{3, 0, 0}));
    watches.drop(2);
    watches.drop(2);
    EXPECT_EQ(counts(), (Counts{2, 0, 0}));
    ASSERT_EQ(table.add(n(u"b"), 9, 2), OK);
    EXPECT_EQ(clients(watches.registered(n(u"b"))), Ids{1});
    EXPECT_EQ(counts(), (Counts{0, 0, 0}));
}

}  // namespace
}  // namespace zorlek::registry
