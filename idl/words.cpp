// SPDX-License-Identifier: Apache-2.0
#include "idl/words.h"

#include "idl/hex_digit.h"
#include "idl/limits.h"
#include "platform/text/hex.h"

namespace zorlek::idl {
namespace {

bool isLetter(char16_t unit) {
    return (unit >= u'a' && unit <= u'z') || (unit >= u'A' && unit <= u'Z');
}

bool isDigit(char16_t unit) {
    return unit >= u'0' && unit <= u'9';
}

// Appends `value` as 4 uppercase hex digits.
void appendHex(String8* out, uint32_t value) {
    for (int shift = 12; shift >= 0; shift -= 4) out->push(upperHexDigit(value >> shift));
}

constexpr std::pair<std::u16string_view, Kind> kBuiltIn[] = {
    {u"i32", Kind::kI32}, {u"i64", Kind::kI64},     {u"bool", Kind::kBool},
    {u"s16", Kind::kS16}, {u"bytes", Kind::kBytes},
};

}  // namespace

bool isIdentifier(std::u16string_view word) {
    if (word.empty() || !isLetter(word[0]) || word.back() == u'_') return false;
    for (size_t i = 1; i < word.size(); ++i) {
        char16_t unit = word[i];
        if (unit == u'_' ? word[i - 1] == u'_' : !isLetter(unit) && !isDigit(unit)) return false;
    }
    return true;
}

bool isDottedName(std::u16string_view word) {
    size_t start = 0;
    while (true) {
        size_t dot = word.find(u'.', start);
        if (!isIdentifier(word.substr(start, dot == std::u16string_view::npos ? dot : dot - start)))
            return false;
        if (dot == std::u16string_view::npos) return true;
        start = dot + 1;
    }
}

std::string ascii(std::u16string_view word) {
    return std::string(word.begin(), word.end());
}

String8 shown(const Token& token) {
    String8 out;
    switch (token.kind) {
        case TokenKind::kEnd:
            return String8("the end of the text");
        case TokenKind::kDoc:
            return String8("a doc comment");
        case TokenKind::kBad:
            if (token.text[0] > 0x20 && token.text[0] < 0x7F) break;
            out.append("the character U+");
            appendHex(&out, token.text[0]);
            return out;
        case TokenKind::kWord:
        case TokenKind::kPunct:
            break;
    }
    constexpr size_t kShown = 40;
    std::string text = ascii(token.text.substr(0, kShown));
    out.append("'").append(text.c_str()).append(token.text.size() > kShown ? "...'" : "'");
    return out;
}

const Kind* builtInKind(std::u16string_view word) {
    for (const auto& [name, kind] : kBuiltIn) {
        if (word == name) return &kind;
    }
    return nullptr;
}

bool readCode(std::u16string_view word, uint32_t* code) {
    bool hex = word.size() > 2 && word[0] == u'0' && (word[1] == u'x' || word[1] == u'X');
    uint64_t value = 0;
    for (size_t i = hex ? 2 : 0; i < word.size(); ++i) {
        char16_t unit = word[i];
        int digit = hexDigitValue(unit);
        if (digit < 0 || digit >= (hex ? 16 : 10)) return false;
        value = value * (hex ? 16 : 10) + static_cast<uint64_t>(digit);
        if (value > kMaxCode) return false;
    }
    *code = static_cast<uint32_t>(value);
    return value >= 1;
}

}  // namespace zorlek::idl
