// SPDX-License-Identifier: Apache-2.0
// The tokens of the interface description language.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zorlek::idl {

enum class TokenKind : uint8_t {
    kEnd,    // the end of the text
    kWord,   // a run of ASCII letters, digits, '_' and '.': a keyword, name or number
    kDoc,    // a doc comment: "///" to the end of its line
    kPunct,  // one of ; { } ( ) , : = ? [ ] and the arrow ->
    kBad,    // a unit that begins none of the above (the one unit)
};

struct Token {
    TokenKind kind = TokenKind::kEnd;
    // The word or punctuation, or a doc comment's text: what follows "///" without one
    // leading space and without the blanks (space, tab, CR) at the end of the line.
    std::u16string_view text;
    // The line it starts on, from 1.
    uint32_t line = 1;
};

// Splits a description into tokens, skipping white space (space, tab, CR, LF) and plain
// comments ("//" not followed by a third '/', to the end of the line). Views point into
// the text, which must outlive them. Any text may be given: what is not a token comes out
// as kBad, one unit at a time.
class Lexer {
  public:
    explicit Lexer(std::u16string_view text) : text_(text) {}
    Token next();

  private:
    // Skips white space and plain comments, counting lines.
    void skipBlanks();

    std::u16string_view text_;
    size_t at_ = 0;
    uint32_t line_ = 1;
};

}  // namespace zorlek::idl
