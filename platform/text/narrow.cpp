// SPDX-License-Identifier: Apache-2.0
#include "platform/text/narrow.h"

#include <cstdint>

#include "platform/text/hex.h"

namespace zorlek {
namespace {

bool isControl(char16_t unit) {
    return unit < 0x20 || unit == 0x7F || (unit >= 0x80 && unit <= 0x9F);
}

// Characters that reorder, join, separate or hide text: shown escaped so that two names
// that look alike on a terminal can be told apart.
bool isFormat(char16_t unit) {
    return unit == 0x00AD || unit == 0x061C || unit == 0x180E ||
           (unit >= 0x200B && unit <= 0x200F) || (unit >= 0x2028 && unit <= 0x202E) ||
           (unit >= 0x2060 && unit <= 0x2064) || (unit >= 0x2066 && unit <= 0x206F) ||
           unit == 0xFEFF || (unit >= 0xFFF9 && unit <= 0xFFFB);
}

// The invisible tag characters, which can spell out hidden text after a visible one.
bool isTag(uint32_t cp) {
    return cp == 0xE0001 || (cp >= 0xE0020 && cp <= 0xE007F);
}

// Appends `kind` after a backslash, then `value` in `digits` uppercase hex digits.
void appendEscaped(String8* out, char kind, uint32_t value, int digits) {
    char escaped[10] = {'\\', kind};
    for (int i = 0; i < digits; ++i) {
        escaped[2 + i] = upperHexDigit(value >> (4 * (digits - 1 - i)));
    }
    out->append(escaped, static_cast<size_t>(2 + digits));
}

void appendUtf8(String8* out, uint32_t cp) {
    char bytes[4];
    size_t n;
    if (cp < 0x80) {
        bytes[0] = static_cast<char>(cp);
        n = 1;
    } else if (cp < 0x800) {
        bytes[0] = static_cast<char>(0xC0 | (cp >> 6));
        bytes[1] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 2;
    } else if (cp < 0x10000) {
        bytes[0] = static_cast<char>(0xE0 | (cp >> 12));
        bytes[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        bytes[2] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 3;
    } else {
        bytes[0] = static_cast<char>(0xF0 | (cp >> 18));
        bytes[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        bytes[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        bytes[3] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 4;
    }
    out->append(bytes, n);
}

bool isHighSurrogate(char16_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool isLowSurrogate(char16_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// The code point of the surrogate pair at text[i], i + 1; false when there is none there.
bool pairAt(const String16& text, size_t i, uint32_t* cp) {
    if (!isHighSurrogate(text[i]) || i + 1 >= text.size() || !isLowSurrogate(text[i + 1])) {
        return false;
    }
    *cp = 0x10000 + ((static_cast<uint32_t>(text[i]) - 0xD800) << 10) +
          (static_cast<uint32_t>(text[i + 1]) - 0xDC00);
    return true;
}

}  // namespace

String8 narrowForDisplay(const String16& text) {
    String8 out;
    size_t size = text.size();
    for (size_t i = 0; i < size; ++i) {
        char16_t unit = text[i];
        if (unit == 0) continue;
        if (isControl(unit)) {
            appendEscaped(&out, 'x', unit, 2);
        } else if (isFormat(unit)) {
            appendEscaped(&out, 'u', unit, 4);
        } else if (uint32_t cp; pairAt(text, i, &cp)) {
            if (isTag(cp)) {
                appendEscaped(&out, 'U', cp, 8);
            } else {
                appendUtf8(&out, cp);
            }
            ++i;
        } else if (isHighSurrogate(unit) || isLowSurrogate(unit)) {
            appendUtf8(&out, 0xFFFD);
        } else {
            appendUtf8(&out, unit);
        }
    }
    return out;
}

String8 quoteJson(const String16& text) {
    String8 out;
    out.push('"');
    // Writes one unit as a \u escape, in lowercase hex.
    auto escapeUnit = [&](char16_t unit) {
        char escaped[6] = {'\\',
                           'u',
                           lowerHexDigit(unit >> 12),
                           lowerHexDigit(unit >> 8),
                           lowerHexDigit(unit >> 4),
                           lowerHexDigit(unit)};
        out.append(escaped, sizeof escaped);
    };
    size_t size = text.size();
    for (size_t i = 0; i < size; ++i) {
        char16_t unit = text[i];
        uint32_t cp = unit;
        bool pair = pairAt(text, i, &cp);
        if (unit == '"' || unit == '\\') {
            out.push('\\').push(static_cast<char>(unit));
        } else if (unit == '\b' || unit == '\t' || unit == '\n' || unit == '\f' || unit == '\r') {
            constexpr char kShort[] = "btn?fr";
            out.push('\\').push(kShort[unit - '\b']);
        } else if (pair && isTag(cp)) {
            escapeUnit(unit);
            escapeUnit(text[++i]);
        } else if (pair) {
            appendUtf8(&out, cp);
            ++i;
        } else if (unit == 0 || isControl(unit) || isFormat(unit) || isHighSurrogate(unit) ||
                   isLowSurrogate(unit)) {
            // A lone surrogate as an escape keeps it exact: JSON carries it no other way.
            escapeUnit(unit);
        } else {
            appendUtf8(&out, unit);
        }
    }
    out.push('"');
    return out;
}

}  // namespace zorlek
