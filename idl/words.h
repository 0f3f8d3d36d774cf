// SPDX-License-Identifier: Apache-2.0
// The words of the interface description language, as its parser reads and shows them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "idl/lexer.h"
#include "idl/model.h"
#include "platform/text.h"

namespace zorlek::idl {

// Letters and digits with single underscores between them, starting with a letter.
bool isIdentifier(std::u16string_view word);

// Identifiers joined by single dots (one identifier too).
bool isDottedName(std::u16string_view word);

// A word the lexer made, which is ASCII, as a string.
std::string ascii(std::u16string_view word);

// The token as an error message names it: printable ASCII, quoted and cut short.
String8 shown(const Token& token);

// The kind of a type the language has built in, or null.
const Kind* builtInKind(std::u16string_view word);

// Reads a decimal or 0x-hexadecimal code in 1..kMaxCode; false for anything else.
bool readCode(std::u16string_view word, uint32_t* code);

}  // namespace zorlek::idl
