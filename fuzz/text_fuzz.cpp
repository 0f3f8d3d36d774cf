// SPDX-License-Identifier: Apache-2.0
// Untrusted bytes through the text conversions: decoded as UTF-8 into a String16, and
// taken as raw UTF-16LE units, each then narrowed for display. Whatever arrives, the
// narrowed text is valid UTF-8 that cannot steer a terminal nor hide or reorder itself,
// well-formed text without such characters survives both ways unchanged, replacement
// characters appear exactly where text was ill-formed, and String16 comparison agrees
// with its code units.

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz/check.h"
#include "platform/text.h"

namespace zorlek {
namespace {

using fuzz::check;

// Code points a terminal must never get raw: the controls, and the characters that
// reorder, join or hide text (which the narrowing writes as \uHHHH or \UHHHHHHHH).
bool mustBeEscaped(uint32_t cp) {
    constexpr uint32_t kRanges[][2] = {
        {0x00, 0x1F},       {0x7F, 0x9F},     {0xAD, 0xAD},     {0x61C, 0x61C},
        {0x180E, 0x180E},   {0x200B, 0x200F}, {0x2028, 0x202E}, {0x2060, 0x2064},
        {0x2066, 0x206F},   {0xFEFF, 0xFEFF}, {0xFFF9, 0xFFFB}, {0xE0001, 0xE0001},
        {0xE0020, 0xE007F},
    };
    for (const auto& range : kRanges) {
        if (cp >= range[0] && cp <= range[1]) return true;
    }
    return false;
}

// What a validating pass over bytes found, by code point values rather than byte tables.
struct Utf8Scan {
    bool valid = true;
    // Among valid text: code points that are shown escaped.
    bool hasEscaped = false;
    size_t codePoints = 0;
    size_t supplementary = 0;
};

Utf8Scan scanUtf8(std::string_view bytes) {
    Utf8Scan scan;
    size_t i = 0;
    while (i < bytes.size()) {
        auto lead = static_cast<unsigned char>(bytes[i]);
        size_t length = lead < 0x80       ? 1
                        : lead >> 5 == 6  ? 2
                        : lead >> 4 == 14 ? 3
                        : lead >> 3 == 30 ? 4
                                          : 0;
        if (length == 0 || i + length > bytes.size()) return {false};
        uint32_t cp = length == 1 ? lead : lead & (0x7F >> length);
        for (size_t k = 1; k < length; ++k) {
            auto next = static_cast<unsigned char>(bytes[i + k]);
            if (next >> 6 != 2) return {false};
            cp = cp << 6 | (next & 0x3F);
        }
        constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kSmallest[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return {false};
        scan.hasEscaped |= mustBeEscaped(cp);
        ++scan.codePoints;
        scan.supplementary += cp >= 0x10000;
        i += length;
    }
    return scan;
}

size_t countOf(std::string_view text, std::string_view piece) {
    size_t n = 0;
    for (size_t at = text.find(piece); at != std::string_view::npos; at = text.find(piece, at + 1))
        ++n;
    return n;
}

size_t replacements(const String16& text) {
    size_t n = 0;
    for (char16_t unit : text.view()) n += unit == 0xFFFD;
    return n;
}

struct Utf16Scan {
    bool hasEscaped = false;
    size_t loneSurrogates = 0;
};

Utf16Scan scanUtf16(const String16& text) {
    Utf16Scan scan;
    for (size_t i = 0; i < text.size(); ++i) {
        char16_t unit = text[i];
        scan.hasEscaped |= mustBeEscaped(unit);
        bool high = unit >= 0xD800 && unit <= 0xDBFF;
        if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            uint32_t cp = 0x10000 + ((unit - 0xD800u) << 10) + (text[i + 1] - 0xDC00u);
            scan.hasEscaped |= mustBeEscaped(cp);
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            ++scan.loneSurrogates;
        }
    }
    return scan;
}

// Whatever the units, the narrowed text is UTF-8 a terminal only displays, nothing in it
// hidden.
String8 checkedNarrowing(const String16& text) {
    String8 narrowed = narrowForDisplay(text);
    std::string_view view(narrowed.data(), narrowed.size());
    Utf8Scan scan = scanUtf8(view);
    check(scan.valid && !scan.hasEscaped,
          "narrowed text invalid or holds a control or a hiding character");
    check(narrowed.size() <= 6 * text.size(), "narrowed text too long");
    Utf16Scan units = scanUtf16(text);
    // A replacement (EF BF BD) only stands for a lone surrogate or for one already there.
    check(countOf(view, "\xEF\xBF\xBD") == replacements(text) + units.loneSurrogates,
          "U+FFFD count");
    if (!units.hasEscaped && units.loneSurrogates == 0) {
        check(String16(narrowed.data(), narrowed.size()) == text, "valid UTF-16 round trip");
    }
    return narrowed;
}

void checkDecoding(std::string_view bytes) {
    String16 text(bytes.data(), bytes.size());
    check(text.size() <= bytes.size(), "more units than bytes");
    check(scanUtf16(text).loneSurrogates == 0, "decoding made a lone surrogate");
    Utf8Scan scan = scanUtf8(bytes);
    size_t given = countOf(bytes, "\xEF\xBF\xBD");
    if (scan.valid) {
        check(text.size() == scan.codePoints + scan.supplementary, "unit count");
        check(replacements(text) == given, "replacement in valid text");
    } else {
        check(replacements(text) > given, "ill-formed text without a replacement");
    }
    String8 narrowed = checkedNarrowing(text);
    if (scan.valid && !scan.hasEscaped) {
        check(std::string_view(narrowed.data(), narrowed.size()) == bytes, "UTF-8 round trip");
    }
    // The NUL-terminated constructor reads up to the first NUL.
    std::string terminated(bytes);
    check(String16(terminated.c_str()) == String16(bytes.data(), std::strlen(terminated.c_str())),
          "NUL-terminated decoding");
}

void checkOrdering(std::string_view a, std::string_view b) {
    String16 left(a.data(), a.size());
    String16 right(b.data(), b.size());
    check((left == right) == (left.view() == right.view()), "equality");
    check((left < right) == (left.view() < right.view()), "order");
    check((left < right) == (right > left) && !(left < right && right < left), "antisymmetry");
    if (scanUtf8(a).valid && scanUtf8(b).valid) {
        check((left == right) == (a == b), "distinct valid text decoded alike");
    }
}

}  // namespace
}  // namespace zorlek

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zorlek;
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    checkDecoding(bytes);
    std::u16string units(size / 2, u'\0');
    for (size_t i = 0; i < units.size(); ++i)
        units[i] = static_cast<char16_t>(data[2 * i] | data[2 * i + 1] << 8);
    checkedNarrowing(String16(std::move(units)));
    checkOrdering(bytes.substr(0, size / 2), bytes.substr(size / 2));
    return 0;
}
