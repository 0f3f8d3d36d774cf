// SPDX-License-Identifier: Apache-2.0
// Typed values in and out of parcels, for a person at a command line: the arguments of a
// method from text, and the fields of a reply as JSON.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "idl/model.h"
#include "platform/ipc.h"
#include "platform/text.h"

namespace zorlek::idl {

// Writes the arguments of `method` into `request` (after its interface token) from the
// command-line words `words[0..count)`. Each word is NAME=VALUE, when the text before its
// first '=' names an argument of the method, or else a bare value, which goes to the first
// argument in the declared order not given yet. Every argument must be given, once.
//
// A value is read strictly against its type: i32 and i64 as decimal or 0x-hexadecimal
// integers with an optional '-' and nothing else, in the type's range; bool as true or
// false; s16 as the text itself (its UTF-8 decoded as String16 decodes it); s16? likewise,
// or null; bytes as hexadecimal digits, two a byte; arrays and records as JSON, where an
// integer is a JSON number without fraction or exponent, a string a JSON string, bytes a
// JSON string of hex digits, and a record an object with exactly its fields.
//
// Returns true, or false with `*why` set to one line saying which argument is wrong and
// why (the request is then incomplete and must not be sent).
bool writeArguments(Parcel& request, const Interface& interface, const Method& method,
                    const char* const* words, size_t count, String8* why);

// Writes a JSON object of `fields`, as readReplyAsJson writes it (members in any order),
// into `parcel`: each field's value is read as it would be inside an array or record
// argument. Returns true, or false with `*why` set ("at NAME: WHY").
bool writeJsonFields(Parcel& parcel, const Interface& interface, const std::vector<Field>& fields,
                     std::string_view json, String8* why);

// Reads `fields` from `reply` at its read position and appends them to `out` as one JSON
// object on one line: {"name": value, ...} in the declared order, where integers and bools
// are JSON numbers and literals, strings JSON strings (appendJsonString), a null s16? null,
// bytes a string of lowercase hex digits, arrays and records arrays and objects. What the
// reply holds after the fields (appended by a newer service) is left unread.
//
// Returns true, or false with `*why` naming where the reply is malformed, as
// "at items[2].name (s16)"; `out` then holds part of the object and must not be shown.
// Recursion is bounded by kMaxDepth, output by a constant times the reply's size.
bool readReplyAsJson(Parcel& reply, const Interface& interface, const std::vector<Field>& fields,
                     String8* out, String8* why);

}  // namespace zorlek::idl
