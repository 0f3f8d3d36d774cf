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

class DecodeUtf8 : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeUtf8, GivesExpectedUnits) {
    const DecodeCase& c = GetParam();
    String16 text(c.utf8.data(), c.utf8.size());
    EXPECT_EQ(std::u16string(text.view()), c.units) << c.name;
    EXPECT_EQ(text.size(), c.units.size());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DecodeUtf8,
    ::testing::Values(DecodeCase{"empty", "", u""}, DecodeCase{"ascii", "abc", u"abc"},
                      DecodeCase{"ascii controls pass", "\x01\x1f\x7f", u"\x01\x1f\x7f"},
                      DecodeCase{"two-byte", "\xc3\xa9", u"\u00e9"},
                      DecodeCase{"three-byte", "\xe2\x82\xac", u"\u20ac"},
                      DecodeCase{"four-byte gives a surrogate pair", "\xf0\x9f\x98\x80",
                                 u"\xd83d\xde00"},
                      DecodeCase{"highest code point", "\xf4\x8f\xbf\xbf", u"\xdbff\xdfff"},
                      DecodeCase{"truncated sequence then ascii", "\xe2\x82\x41", u"\xfffd\x41"},
                      DecodeCase{"two invalid bytes", "\xff\xff", u"\xfffd\xfffd"},
                      DecodeCase{"lone continuation", "\x80x", u"\xfffdx"},
                      DecodeCase{"overlong two-byte lead", "\xc0\xaf", u"\xfffd\xfffd"},
                      DecodeCase{"overlong three-byte", "\xe0\x80\xaf", u"\xfffd\xfffd\xfffd"},
                      DecodeCase{"encoded surrogate", "\xed\xa0\x80", u"\xfffd\xfffd\xfffd"},
                      DecodeCase{"above U+10FFFF", "\xf4\x90\x80\x80", u"\xfffd\xfffd\xfffd\xfffd"},
                      DecodeCase{"truncated at end", "a\xf0\x9f\x98", u"a\xfffd"},
                      DecodeCase{"embedded NUL kept with explicit length", std::string("a\0b", 3),
                                 std::u16string(u"a\0b", 3)}),
    [](const ::testing::TestParamInfo<DecodeCase>& param) {
        std::string name = param.param.name;
        for (char& ch : name) {
            if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
        }
        return name;
    });

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
