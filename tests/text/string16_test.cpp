// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <string>

#include "platform/text.h"

namespace zorlek {
namespace {

struct DecodeCase {
    const char* name;
    std::string utf8;
    std::u16string units;
};

TEST(String16, DecodesUtf8WithOneReplacementPerIllFormedRun) {
    const DecodeCase cases[] = {
        {"empty", "", u""},
        {"ascii", "abc", u"abc"},
        {"ascii controls pass", "\x01\x1f\x7f", u"\x01\x1f\x7f"},
        {"two-byte", "\xc3\xa9", u"\u00e9"},
        {"three-byte", "\xe2\x82\xac", u"\u20ac"},
        {"four-byte gives a surrogate pair", "\xf0\x9f\x98\x80", u"\xd83d\xde00"},
        {"highest code point", "\xf4\x8f\xbf\xbf", u"\xdbff\xdfff"},
        {"truncated sequence then ascii", "\xe2\x82\x41", u"\xfffd\x41"},
        {"two invalid bytes", "\xff\xff", u"\xfffd\xfffd"},
        {"lone continuation", "\x80x", u"\xfffdx"},
        {"overlong two-byte lead", "\xc0\xaf", u"\xfffd\xfffd"},
        {"overlong three-byte", "\xe0\x80\xaf", u"\xfffd\xfffd\xfffd"},
        {"encoded surrogate", "\xed\xa0\x80", u"\xfffd\xfffd\xfffd"},
        {"above U+10FFFF", "\xf4\x90\x80\x80", u"\xfffd\xfffd\xfffd\xfffd"},
        {"truncated at end", "a\xf0\x9f\x98", u"a\xfffd"},
        {"embedded NUL kept with explicit length", std::string("a\0b", 3),
         std::u16string(u"a\0b", 3)}};
    for (const DecodeCase& c : cases) {
        String16 text(c.utf8.data(), c.utf8.size());
        EXPECT_EQ(std::u16string(text.view()), c.units) << c.name;
        EXPECT_EQ(text.size(), c.units.size()) << c.name;
    }
}

TEST(String16, FromCStringStopsAtNulAndNullIsEmpty) {
    EXPECT_EQ(String16("ab\0cd").size(), 2u);
    EXPECT_EQ(String16(static_cast<const char*>(nullptr)).size(), 0u);
    EXPECT_EQ(String16().size(), 0u);
}

TEST(String16, CopiesAreIndependentAndCompareByUnits) {
    String16 a("abc");
    String16 b = a;
    b = String16("abd");
    EXPECT_EQ(a, String16("abc"));
    EXPECT_LT(a, b);
    // Ordering is by code units: an uppercase letter sorts before any lowercase one.
    EXPECT_LT(String16("Z"), String16("a"));
    EXPECT_LT(String16("ab"), String16("abc"));
}

TEST(String8, AppendsBytesAndIgnoresEmptyOrNull) {
    String8 s;
    EXPECT_STREQ(s.c_str(), "");
    s.append("ab").append("").append(static_cast<const char*>(nullptr)).append("c");
    EXPECT_STREQ(s.c_str(), "abc");
    s.push('\xff');
    EXPECT_EQ(s.size(), 4u);
    EXPECT_EQ(s, String8("abc\xff"));
}

}  // namespace
}  // namespace zorlek
