// SPDX-License-Identifier: Apache-2.0
// The registry's rules without any socket: which names are valid, who holds them, and
// how the listing is ordered and paged (who may register: policy_test.cpp).

#include <gtest/gtest.h>

#include <string>

#include "registry/name_table.h"

namespace zorlek::registry {
namespace {

String16 units(std::u16string text) {
    return String16(std::move(text));
}

struct NameCase {
    const char* what;
    std::u16string name;
    bool valid;
};

TEST(NameValidation, FollowsTheNameRules) {
    const NameCase cases[] = {
        {"one unit", u"a", true},
        {"dotted", u"zorlek.echo", true},
        {"space and punctuation", u"a b/c:d@e", true},
        {"256 units", std::u16string(256, u'x'), true},
        {"empty", u"", false},
        {"257 units", std::u16string(257, u'x'), false},
        {"NUL unit", std::u16string(u"a\0b", 3), false},
        {"tab", u"a\tb", false},
        {"newline", u"a\n", false},
        {"unit 0x1F", u"\x1F", false},
        {"DEL", u"a\x7F", false},
        {"unit 0x20 is allowed", u" ", true},
        {"unit 0x7E is allowed", u"~", true},
        {"C1 control 0x80 is allowed", u"\x80", true},
        {"non-ASCII", u"d\u00e9j\u00e0", true},
        {"surrogate pair", u"\xD83D\xDE00", true},
        {"pair at the 256-unit limit", std::u16string(254, u'x') + u"\xD83D\xDE00", true},
        {"lone high surrogate at the end", u"a\xD83D", false},
        {"lone high surrogate before a letter",
         u"\xD83D"
         u"a",
         false},
        {"lone low surrogate", u"\xDE00", false},
        {"low before high", u"\xDE00\xD83D", false},
        {"two highs", u"\xD83D\xD83D\xDE00", false},
        {"pair cut by the limit", std::u16string(255, u'x') + u"\xD83D", false},
    };
    for (const NameCase& c : cases) {
        EXPECT_EQ(validateName(units(c.name)), c.valid ? OK : -EINVAL) << c.what;
    }
}

TEST(NameTable, OneHolderPerName) {
    NameTable table;
    EXPECT_EQ(table.add(units(u"a"), 7, 1), OK);
    EXPECT_EQ(table.add(units(u"a"), 8, 1), -EEXIST) << "another connection";
    EXPECT_EQ(table.add(units(u"a"), 7, 1), -EEXIST) << "the holder itself";
    EXPECT_EQ(table.holder(units(u"a")), std::optional<ConnectionId>(7));
    EXPECT_EQ(table.holder(units(u"b")), std::nullopt);
    EXPECT_EQ(table.add(units(u""), 7, 1), -EINVAL);
    EXPECT_EQ(table.add(units(u"x\n"), 7, 1), -EINVAL);
    bool more = true;
    EXPECT_EQ(table.page(nullptr, 64 * 1024, &more), std::vector<String16>{units(u"a")});
}

TEST(NameTable, NamesDifferingOnlyInCaseOrLengthAreDistinct) {
    NameTable table;
    EXPECT_EQ(table.add(units(u"a"), 1, 1), OK);
    EXPECT_EQ(table.add(units(u"A"), 2, 1), OK);
    EXPECT_EQ(table.add(units(u"a "), 3, 1), OK);
    EXPECT_EQ(table.holder(units(u"A")), std::optional<ConnectionId>(2));
    EXPECT_EQ(table.holder(units(u"a ")), std::optional<ConnectionId>(3));
}

TEST(NameTable, ReleaseFreesAllNamesOfOneConnectionAtOnce) {
    NameTable table;
    ASSERT_EQ(table.add(units(u"z"), 1, 1), OK);
    ASSERT_EQ(table.add(units(u"b"), 1, 1), OK);
    ASSERT_EQ(table.add(units(u"m"), 2, 1, 1796806262500), OK);
    EXPECT_EQ(table.namesOf(1), (std::vector<String16>{units(u"b"), units(u"z")}));
    EXPECT_EQ(table.find(units(u"m"))->sinceMs, 1796806262500);
    std::vector<String16> freed = table.releaseAll(1);
    EXPECT_TRUE(table.namesOf(1).empty());
    EXPECT_EQ(freed, (std::vector<String16>{units(u"b"), units(u"z")}));
    EXPECT_EQ(table.holder(units(u"z")), std::nullopt);
    EXPECT_EQ(table.holder(units(u"b")), std::nullopt);
    EXPECT_EQ(table.holder(units(u"m")), std::optional<ConnectionId>(2));
    EXPECT_TRUE(table.releaseAll(1).empty()) << "released twice";
    // A freed name can be taken by someone else.
    EXPECT_EQ(table.add(units(u"z"), 3, 1), OK);
    EXPECT_EQ(table.countOf(1), 0u);
    EXPECT_EQ(table.countOf(2), 1u);
    EXPECT_EQ(table.countOf(3), 1u);
}

TEST(NameTable, ListsByCodeUnits) {
    NameTable table;
    // Code-unit order: uppercase before lowercase, a prefix before its extensions,
    // U+00E9 before a surrogate pair, and a pair (0xD83D...) before U+FFFD.
    const std::u16string names[] = {u"b",      u"B",   u"a", u"ab", u"\u00e9", u"\xD83D\xDE00",
                                    u"\uFFFD", u"a.b", u"A"};
    ConnectionId owner = 1;
    for (const std::u16string& name : names) ASSERT_EQ(table.add(units(name), owner++, 1), OK);
    bool more = true;
    std::vector<String16> listed = table.page(nullptr, 1 << 20, &more);
    EXPECT_FALSE(more);
    std::vector<String16> expected = {
        units(u"A"),     units(u"B"), units(u"a"),      units(u"a.b"),
        units(u"ab"),    units(u"b"), units(u"\u00e9"), units(u"\xD83D\xDE00"),
        units(u"\uFFFD")};
    EXPECT_EQ(listed, expected);
}

TEST(NameTable, PagesCoverEveryNameOnceWithinTheBudget) {
    NameTable table;
    for (int i = 0; i < 300; ++i) {
        // Unique four-digit prefixes, lengths from 4 to 256 units.
        std::u16string name(4 + i % 253, u'n');
        std::string index = std::to_string(1000 + i);
        for (size_t k = 0; k < index.size(); ++k) name[k] = index[k];
        ASSERT_EQ(table.add(units(name), 1, 1), OK) << i;
    }
    const size_t budget = 2048;
    std::vector<String16> all;
    const String16* after = nullptr;
    String16 last;
    bool more = true;
    int pages = 0;
    while (more) {
        std::vector<String16> page = table.page(after, budget, &more);
        ASSERT_FALSE(page.empty());
        size_t bytes = 4;
        for (const String16& name : page) bytes += listedSize(name);
        EXPECT_LE(bytes, budget);
        all.insert(all.end(), page.begin(), page.end());
        last = all.back();
        after = &last;
        ASSERT_LT(++pages, 1000);
    }
    EXPECT_GT(pages, 1);
    ASSERT_EQ(all.size(), 300u);
    EXPECT_TRUE(std::is_sorted(all.begin(), all.end()));
    EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
}

TEST(NameTable, PageAfterTheLastNameIsEmpty) {
    NameTable table;
    ASSERT_EQ(table.add(units(u"a"), 1, 1), OK);
    bool more = true;
    String16 after = units(u"a");
    EXPECT_TRUE(table.page(&after, 4096, &more).empty());
    EXPECT_FALSE(more);
    // A name that is not held still positions the listing.
    after = units(u"0");
    EXPECT_EQ(table.page(&after, 4096, &more), std::vector<String16>{units(u"a")});
}

TEST(NameTable, AOneNameBudgetStillMakesProgress) {
    NameTable table;
    ASSERT_EQ(table.add(String16(std::u16string(256, u'x')), 1, 1), OK);
    ASSERT_EQ(table.add(String16(std::u16string(256, u'y')), 1, 1), OK);
    bool more = false;
    EXPECT_EQ(table.page(nullptr, 16, &more).size(), 1u);
    EXPECT_TRUE(more);
}

TEST(ListedSize, IsTheStringItemSize) {
    EXPECT_EQ(listedSize(units(u"")), 8u);
    EXPECT_EQ(listedSize(units(u"a")), 8u);
    EXPECT_EQ(listedSize(units(u"hi")), 12u);
    EXPECT_EQ(listedSize(units(u"abc")), 12u);
    EXPECT_EQ(listedSize(String16(std::u16string(256, u'x'))), 520u);
}

}  // namespace
}  // namespace zorlek::registry
