// SPDX-License-Identifier: Apache-2.0
// The description the tests of typed values read and write against, and the shapes of
// their rows.
#pragma once

#include <string>
#include <utility>

#include "commands/typed/values.h"
#include "idl/parser.h"
#include "tests/support/bytes.h"

namespace zorlek::typed::test {

using zorlek::test::Bytes;
using zorlek::test::cat;
using zorlek::test::i32;
using zorlek::test::s16;

inline const char kInterface[] =
    "interface t.IValues;\n"
    "record P { x: i32; y: s16?; }\n"
    "record Q { p: P; ps: P[]; }\n"
    "method ints(a: i32, b: i64) = 1;\n"
    "method flag(f: bool) = 2;\n"
    "method texts(s: s16, n: s16?) = 3;\n"
    "method blob(b: bytes) = 4;\n"
    "method arrays(a: i32[], g: i64[][], t: s16?[], b: bytes[], f: bool[]) = 5;\n"
    "method records(q: Q) = 6;\n"
    "method none() = 7;\n"
    "method out() -> (a: i32, b: i64, f: bool, s: s16, n: s16?, d: bytes, q: Q[], g: i32[][]) = "
    "8;\n"
    "method objects(l: t.IListener, o: x.IOther, n: i32) -> (back: t.IListener, other: x.IOther) "
    "= 9;\n"
    "interface t.IListener;\n"
    "record R { a: i32[]; }\n"
    "method heard(r: R, s: s16?, v: t.IValues) = 1;\n"
    "oneway method tick(n: i64) = 2;\n"
    "method nothing() = 3;\n";

inline const Description& description() {
    static const Description parsed = [] {
        idl::ParseError error;
        std::u16string text(kInterface, kInterface + sizeof kInterface - 1);
        return *idl::parseDescription(text, &error);
    }();
    return parsed;
}

// t.IValues, and t.IListener beside it.
inline const Interface& interface() {
    return description().interfaces[0];
}
inline const Interface& listener() {
    return description().interfaces[1];
}

inline Bytes i64(int64_t value) {
    return cat({i32(static_cast<uint32_t>(value)),
                i32(static_cast<uint32_t>(static_cast<uint64_t>(value) >> 32))});
}

inline Bytes nullString() {
    return i32(0xFFFFFFFF);
}

// A null reference to an object.
inline Bytes nullObject() {
    return cat({i32(0), i32(0)});
}

// Arguments' bytes after the token, or "error: WHY".
struct Written {
    Bytes bytes;
    std::string error;
    bool operator==(const Written&) const = default;
};

inline Written bytes(Bytes b) {
    return {std::move(b), ""};
}

inline Written error(std::string why) {
    return {{}, std::move(why)};
}

}  // namespace zorlek::typed::test
