// SPDX-License-Identifier: Apache-2.0
#include "idl/lexer.h"

namespace zorlek::idl {
namespace {

bool isWordUnit(char16_t unit) {
    return (unit >= u'a' && unit <= u'z') || (unit >= u'A' && unit <= u'Z') ||
           (unit >= u'0' && unit <= u'9') || unit == u'_' || unit == u'.';
}

bool isBlank(char16_t unit) {
    return unit == u' ' || unit == u'\t' || unit == u'\r';
}

constexpr std::u16string_view kPunctuation = u";{}(),:=?[]";

}  // namespace

void Lexer::skipBlanks() {
    while (at_ < text_.size()) {
        char16_t unit = text_[at_];
        if (unit == u'\n') {
            ++line_;
            ++at_;
        } else if (isBlank(unit)) {
            ++at_;
        } else if (text_.substr(at_, 2) == u"//" && text_.substr(at_, 3) != u"///") {
            while (at_ < text_.size() && text_[at_] != u'\n') ++at_;
        } else {
            return;
        }
    }
}

Token Lexer::next() {
    skipBlanks();
    Token token;
    token.line = line_;
    if (at_ >= text_.size()) return token;
    size_t start = at_;
    char16_t unit = text_[at_];
    if (text_.substr(at_, 3) == u"///") {
        at_ += 3;
        if (at_ < text_.size() && text_[at_] == u' ') ++at_;
        size_t from = at_;
        while (at_ < text_.size() && text_[at_] != u'\n') ++at_;
        size_t to = at_;
        while (to > from && isBlank(text_[to - 1])) --to;
        token.kind = TokenKind::kDoc;
        token.text = text_.substr(from, to - from);
        return token;
    }
    if (isWordUnit(unit)) {
        while (at_ < text_.size() && isWordUnit(text_[at_])) ++at_;
        token.kind = TokenKind::kWord;
    } else if (text_.substr(at_, 2) == u"->") {
        at_ += 2;
        token.kind = TokenKind::kPunct;
    } else {
        ++at_;
        token.kind = kPunctuation.find(unit) != std::u16string_view::npos ? TokenKind::kPunct
                                                                          : TokenKind::kBad;
    }
    token.text = text_.substr(start, at_ - start);
    return token;
}

}  // namespace zorlek::idl
