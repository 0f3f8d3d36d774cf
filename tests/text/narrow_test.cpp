// SPDX-License-Identifier: Apache-2.0
// Display narrowing: every kind of code unit, and pairs, lone surrogates and NULs, and the
// characters that reorder, join or hide text.

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
        // Characters that reorder, join or hide text, at each edge of their ranges, and
        // their neighbours that pass.
        {u"pay\x202E"
         u"evil",
         "pay\\u202Eevil"},
        {u"\xAD", "\\u00AD"},
        {u"\xAC\xAE", "\xC2\xAC\xC2\xAE"},
        {u"\x61C", "\\u061C"},
        {u"\x61B\x61D", "\xD8\x9B\xD8\x9D"},
        {u"\x180E", "\\u180E"},
        {u"\x180D\x180F", "\xE1\xA0\x8D\xE1\xA0\x8F"},
        {u"\x200A\x200B", "\xE2\x80\x8A\\u200B"},
        {u"\x200F\x2010", "\\u200F\xE2\x80\x90"},
        {u"\x2027\x2028\x2029", "\xE2\x80\xA7\\u2028\\u2029"},
        {u"\x202E\x202F", "\\u202E\xE2\x80\xAF"},
        {u"\x205F\x2060", "\xE2\x81\x9F\\u2060"},
        {u"\x2064\x2065\x2066", "\\u2064\xE2\x81\xA5\\u2066"},
        {u"\x206F\x2070", "\\u206F\xE2\x81\xB0"},
        {u"\xFEFF", "\\uFEFF"},
        {u"\xFEFE\xFF00", "\xEF\xBB\xBE\xEF\xBC\x80"},
        {u"\xFFF8\xFFF9", "\xEF\xBF\xB8\\uFFF9"},
        {u"\xFFFB\xFFFC", "\\uFFFB\xEF\xBF\xBC"},
        // The tags, as surrogate pairs; lone halves of them stay U+FFFD.
        {u"\xDB40\xDC01", "\\U000E0001"},
        {u"\xDB40\xDC00\xDB40\xDC02", "\xF3\xA0\x80\x80\xF3\xA0\x80\x82"},
        {u"\xDB40\xDC1F\xDB40\xDC20", "\xF3\xA0\x80\x9F\\U000E0020"},
        {u"a\xDB40\xDC7F"
         u"b",
         "a\\U000E007Fb"},
        {u"\xDB40\xDC80", "\xF3\xA0\x82\x80"},
        {u"\xDB40", "\xEF\xBF\xBD"},
        {u"\xDC01", "\xEF\xBF\xBD"},
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

std::string quoted(const std::u16string& units) {
    String8 out = quoteJson(String16(units));
    return std::string(out.data(), out.size());
}

// JSON strings decode to exactly the units given, and show as safely as the narrowing.
TEST(QuoteJson, EachKindOfUnit) {
    const NarrowCase cases[] = {
        {u"", "\"\""},
        {u"abc", "\"abc\""},
        {u"q\"b\\s/", "\"q\\\"b\\\\s/\""},
        {std::u16string(u"a\0b", 3), "\"a\\u0000b\""},
        {u"\x1b[31m\x7f\x85\t\n", "\"\\u001b[31m\\u007f\\u0085\\t\\n\""},
        {u"d\u00e9j\u00e0", "\"d\xc3\xa9j\xc3\xa0\""},
        {u"pay\u202Eevil\u200B", "\"pay\\u202eevil\\u200b\""},
        {u"\U0001F600", "\"\xf0\x9f\x98\x80\""},
        {u"\U000E0041", "\"\\udb40\\udc41\""},
        {u"lone\xD800x\xDC00", "\"lone\\ud800x\\udc00\""},
    };
    for (const NarrowCase& c : cases) EXPECT_EQ(quoted(c.text), c.bytes);
}

}  // namespace
}  // namespace zorlek
