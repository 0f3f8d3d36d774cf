// SPDX-License-Identifier: Apache-2.0
#include "platform/text/string16.h"

#include <cstring>

#include "platform/text/keyed_hash.h"

namespace zorlek {
namespace {

constexpr char16_t kReplacement = 0xFFFD;

bool isContinuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// The valid range of the second byte depends on the lead byte (no overlongs, no
// surrogates, nothing above U+10FFFF); later continuation bytes are always 80..BF.
bool secondByteFits(unsigned char lead, unsigned char second) {
    switch (lead) {
        case 0xE0:
            return second >= 0xA0 && second <= 0xBF;
        case 0xED:
            return second >= 0x80 && second <= 0x9F;
        case 0xF0:
            return second >= 0x90 && second <= 0xBF;
        case 0xF4:
            return second >= 0x80 && second <= 0x8F;
        default:
            return isContinuation(second);
    }
}

void appendCodePoint(std::u16string* out, uint32_t cp) {
    if (cp < 0x10000) {
        out->push_back(static_cast<char16_t>(cp));
    } else {
        cp -= 0x10000;
        out->push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out->push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
}

}  // namespace

void appendUtf8AsUtf16(std::u16string* out, const char* utf8, size_t len) {
    const auto* p = reinterpret_cast<const unsigned char*>(utf8);
    size_t i = 0;
    out->reserve(out->size() + len);
    while (i < len) {
        unsigned char lead = p[i];
        if (lead < 0x80) {
            out->push_back(lead);
            ++i;
            continue;
        }
        size_t need;
        uint32_t cp;
        if (lead >= 0xC2 && lead <= 0xDF) {
            need = 1;
            cp = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            need = 2;
            cp = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            need = 3;
            cp = lead & 0x07;
        } else {
            // 80..C1 and F5..FF never start a sequence: each is one ill-formed byte.
            out->push_back(kReplacement);
            ++i;
            continue;
        }
        // Consume the longest prefix that could still become a valid sequence; if it
        // stops short, that whole prefix is one maximal ill-formed subsequence.
        size_t taken = 1;
        while (taken <= need && i + taken < len) {
            unsigned char next = p[i + taken];
            bool fits = taken == 1 ? secondByteFits(lead, next) : isContinuation(next);
            if (!fits) break;
            cp = (cp << 6) | (next & 0x3F);
            ++taken;
        }
        if (taken == need + 1) {
            appendCodePoint(out, cp);
        } else {
            out->push_back(kReplacement);
        }
        i += taken;
    }
}

String16::String16(const char* utf8) {
    if (utf8 != nullptr) appendUtf8AsUtf16(&units_, utf8, std::strlen(utf8));
}

String16::String16(const char* utf8, size_t len) {
    if (utf8 != nullptr) appendUtf8AsUtf16(&units_, utf8, len);
}

}  // namespace zorlek

size_t std::hash<zorlek::String16>::operator()(const zorlek::String16& text) const {
    return zorlek::KeyedTextHash()(text.view());
}
