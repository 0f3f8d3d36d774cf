#include "platform/text/narrow.h"

#include <cstdint>

namespace zorlek {
namespace {

bool isControl(char16_t unit) {
    return unit < 0x20 || unit == 0x7F || (unit >= 0x80 && unit <= 0x9F);
}

void appendEscaped(String8* out, char16_t unit) {
    constexpr char kHex[] = "0123456789ABCDEF";
    char escaped[4] = {'\\', 'x', kHex[(unit >> 4) & 0xF], kHex[unit & 0xF]};
    out->append(escaped, sizeof escaped);
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

}  // namespace

String8 narrowForDisplay(const String16& text) {
    String8 out;
    size_t size = text.size();
    for (size_t i = 0; i < size; ++i) {
        char16_t unit = text[i];
        if (unit == 0) continue;
        if (isControl(unit)) {
            appendEscaped(&out, unit);
        } else if (isHighSurrogate(unit) && i + 1 < size && isLowSurrogate(text[i + 1])) {
            uint32_t cp = 0x10000 + ((static_cast<uint32_t>(unit) - 0xD800) << 10) +
                          (static_cast<uint32_t>(text[i + 1]) - 0xDC00);
            appendUtf8(&out, cp);
            ++i;
        } else if (isHighSurrogate(unit) || isLowSurrogate(unit)) {
            appendUtf8(&out, 0xFFFD);
        } else {
            appendUtf8(&out, unit);
        }
    }
    return out;
}

}  // namespace zorlek
