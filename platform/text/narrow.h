// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>

#include "platform/text/string16.h"
#include "platform/text/string8.h"

namespace zorlek {

// Turns UTF-16 text that came from elsewhere (service names, descriptors) into 8-bit
// text that is safe to write to a terminal: the tool's listing and the registry's log.
// Encodes UTF-8: a surrogate pair gives one 4-byte sequence and a lone surrogate gives
// U+FFFD; a 0x0000 unit gives nothing; the control units 0x01-0x1F, 0x7F and 0x80-0x9F
// give "\xHH" (the unit's value in two uppercase hex digits); the characters that reorder,
// join or hide text (U+00AD, U+061C, U+180E, U+200B-U+200F, U+2028-U+202E, U+2060-U+2064,
// U+2066-U+206F, U+FEFF, U+FFF9-U+FFFB) give "\uHHHH", and the tags (U+E0001,
// U+E0020-U+E007F) "\UHHHHHHHH"; every other unit gives its UTF-8 bytes (one byte below
// 0x80). The result is at most 6 bytes per unit.
String8 narrowForDisplay(const String16& text);

// Turns UTF-16 text into a JSON string, quotes included, that a JSON reader decodes to
// exactly the same code units, and that shows on a terminal as safely as
// narrowForDisplay's text: '"' and '\' are escaped by a backslash, as are the controls
// that JSON names (\b \t \n \f \r); U+0000, the other controls, the characters
// narrowForDisplay escapes and lone surrogates give "\uhhhh" in lowercase hex (a tag as its
// two surrogates); every other unit gives its UTF-8 bytes.
String8 quoteJson(const String16& text);

}  // namespace zorlek
