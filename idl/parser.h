// SPDX-License-Identifier: Apache-2.0
// Reading an interface description.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "idl/model.h"
#include "platform/text.h"

namespace zorlek::idl {

// Where and why a description could not be read.
struct ParseError {
    // The line, from 1.
    uint32_t line = 0;
    // Why, in English, starting in lower case. Text quoted from the description is shown
    // as ASCII (other characters as U+XXXX) and cut short, so it is safe to print.
    String8 why;
};

// Reads a description (the language: docs/protocol.md, "Typed interfaces"):
//
//   /// doc comments, before any declaration
//   interface sample.IAdder;                                  (first; starts an interface)
//   record Point { x: i32; y: i32; }                          (declared before use)
//   method add(a: i32, b: i32) -> (sum: i32) = 1;             (code 1 to 0xFFFFFF)
//   oneway method ping(p: Point) = 2;
//   interface sample.IListener;                               (the next interface's)
//   method watch(listener: sample.IListener) = 1;             (a reference to an object)
//
// Each `interface` line starts the records and methods of the next interface; records,
// method names and codes belong to their interface. An interface type is a method's argument
// or reply field only (not a record's field, nor an array's item); a name of one word must
// be an interface of the description, a dotted name may also be one described elsewhere.
// Everything is checked: names (letters and digits with single underscores between them),
// unique names and codes, known types, no empty record, no record named as an interface,
// no nesting past kMaxDepth, at most kMaxInterfaces. Works on any text, however hostile, in
// time and memory linear in its size. nullopt, with `*error` set, at the first error (for
// a one-word interface type or a record named as an interface, once the text is read).
std::optional<Description> parseDescription(std::u16string_view text, ParseError* error);

}  // namespace zorlek::idl
