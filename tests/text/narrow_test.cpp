// Display narrowing: every kind of code unit, and pairs, lone surrogates and NULs.

#include <gtest/gtest.h>

#include <string>

#include "platform/text/narrow.h"

namespace zorlek {
namespace {

struct NarrowCase {
    std::u16string text;
    std::string bytes;
};

std::string narrowed(const std::u16string& units) {
    String8 out = narrowForDisplay(String16(units));
    return std::string(out.data(), out.size());
}

TEST(NarrowForDisplay, EachKindOfUnit) {
    const NarrowCase cases[] = {
        {u"", ""},
        {u"abc", "abc"},
        {u" ~!zorlek.IEcho", " ~!zorlek.IEcho"},
        {std::u16string(u"a\0b", 3), "ab"},
        {std::u16string(u"\0\0", 2), ""},
        {u"\x01", "\\x01"},
        {u"\t", "\\x09"},
        {u"\n", "\\x0A"},
        {u"\x1B[31mred", "\\x1B[31mred"},
        {u"\x1F", "\\x1F"},
        {u"\x20", " "},
        {u"\x7E", "~"},
        {u"\x7F", "\\x7F"},
        {u"\x80", "\\x80"},
        {u"\x9B", "\\x9B"},
        {u"\x9F", "\\x9F"},
        {u"\xA0", "\xC2\xA0"},
        {u"caf\xE9", "caf\xC3\xA9"},
        {u"\x7FF", "\xDF\xBF"},
        {u"\x800", "\xE0\xA0\x80"},
        {u"\x20AC", "\xE2\x82\xAC"},
        {u"\xD7FF", "\xED\x9F\xBF"},
        {u"\xE000", "\xEE\x80\x80"},
        {u"\xFFFD", "\xEF\xBF\xBD"},
        {u"\xFFFF", "\xEF\xBF\xBF"},
        {u"\xD83D\xDE00", "\xF0\x9F\x98\x80"},
        {u"\xD800\xDC00", "\xF0\x90\x80\x80"},
        {u"\xDBFF\xDFFF", "\xF4\x8F\xBF\xBF"},
        {u"\xD800", "\xEF\xBF\xBD"},
        {u"\xDC00", "\xEF\xBF\xBD"},
        {u"\xD800"
         u"a",
         "\xEF\xBF\xBD"
         "a"},
        {u"a\xDFFF", "a\xEF\xBF\xBD"},
        {u"\xDC00\xD800", "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {u"\xD800\xD800\xDC00", "\xEF\xBF\xBD\xF0\x90\x80\x80"},
        {std::u16string(u"\xD800\0\xDC00", 3), "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {u"x\x1B\xD83D\xDE00\x85y", "x\\x1B\xF0\x9F\x98\x80\\x85y"},
    };
    for (const NarrowCase& c : cases) {
        std::string label;
        for (char16_t unit : c.text) label += std::to_string(static_cast<unsigned>(unit)) + " ";
        EXPECT_EQ(narrowed(c.text), c.bytes) << "units: " << label;
    }
}

TEST(NarrowForDisplay, EveryUnitBelow0xA0) {
    // The whole low range one unit at a time: escapes exactly for the control units.
    for (char16_t unit = 1; unit < 0xA0; ++unit) {
        std::string got = narrowed(std::u16string(1, unit));
        bool control = unit < 0x20 || (unit >= 0x7F && unit <= 0x9F);
        if (control) {
            char expected[5];
            std::snprintf(expected, sizeof expected, "\\x%02X", static_cast<unsigned>(unit));
            EXPECT_EQ(got, expected) << static_cast<unsigned>(unit);
        } else {
            EXPECT_EQ(got, std::string(1, static_cast<char>(unit))) << static_cast<unsigned>(unit);
        }
    }
}

}  // namespace
}  // namespace zorlek
