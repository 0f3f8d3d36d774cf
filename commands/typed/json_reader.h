// SPDX-License-Identifier: Apache-2.0
// Reading JSON: a typed value's text on a command line (writing it is JsonWriter's).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "commands/limits.h"
#include "platform/text.h"

namespace zorlek::typed {

// A JSON value.
struct JsonValue {
    enum class Kind : uint8_t { kNull, kFalse, kTrue, kNumber, kString, kArray, kObject };
    Kind kind = Kind::kNull;
    // kNumber: its text, as the JSON grammar allows it (the text read must outlive it).
    std::string_view number;
    // kString: its UTF-16 units, escapes decoded.
    std::u16string string;
    // kArray: the items. kObject: the members' values, in the order written.
    std::vector<JsonValue> items;
    // kObject: the members' keys, keys[i] naming items[i]; no key twice.
    std::vector<std::u16string> keys;
};

// Where and why a JSON text could not be read.
struct JsonError {
    // Offset of the byte where reading stopped, from 0.
    size_t offset = 0;
    const char* why = "";
};

// Reads one JSON value (RFC 8259), white space around it allowed and nothing else. Strings
// may hold any UTF-16 units through \u escapes, unpaired surrogates included; their other
// bytes are decoded from UTF-8 as String16 decodes them. Refused, with `*error` set: text
// that is not JSON, a key given twice in one object, nesting past kMaxJsonDepth.
std::optional<JsonValue> parseJson(std::string_view text, JsonError* error);

}  // namespace zorlek::typed
