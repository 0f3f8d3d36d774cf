// SPDX-License-Identifier: Apache-2.0
// The model of an interface description (a .zi file): its interfaces, each with its name,
// records and methods, and the types of their fields.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "idl/limits.h"

namespace zorlek::idl {

// The kind of a type's innermost value.
// kInterface is a reference to an object of an interface (null or not): only a method's
// argument or reply field is one, never a record's field nor an array's item.
enum class Kind : uint8_t { kI32, kI64, kBool, kS16, kNullableS16, kBytes, kRecord, kInterface };

// A type: an innermost kind under `arrays` levels of array, so that i32[][] is {kI32, 0, 2}.
// `index` says which of the interface's records (kRecord) or of its interfaceTypes
// (kInterface) the kind is.
struct Type {
    Kind kind = Kind::kI32;
    uint32_t index = 0;
    uint32_t arrays = 0;

    bool operator==(const Type&) const = default;
    // The type of an array's items; only for arrays > 0.
    Type element() const { return {kind, index, arrays - 1}; }
};

// The text of a declaration's doc comments, a UTF-16 string per `///` line. Untrusted when
// the description came from a service: escape it before showing it.
using Doc = std::vector<std::u16string>;

// A named value: a method's argument or reply field, or a record's field.
struct Field {
    std::string name;
    Type type;
    // Doc comments are written only before the fields of records.
    Doc doc;
    uint32_t line = 0;
};

// A record: named fields (at least one), encoded one after another.
struct Record {
    std::string name;
    std::vector<Field> fields;
    Doc doc;
    uint32_t line = 0;
    // How deep values of this record nest: 1 plus the deepest field's depth (see depthOf).
    uint32_t depth = 1;
};

// A method: its transaction code, its arguments, and the fields of its reply (none for a
// one-way method, which has no reply).
struct Method {
    std::string name;
    uint32_t code = 0;
    bool oneway = false;
    std::vector<Field> arguments;
    std::vector<Field> reply;
    Doc doc;
    uint32_t line = 0;
};

// One interface: its name (the descriptor, e.g. "sample.IAdder"), records and methods, in
// the order declared. Names are ASCII: identifiers are letters and digits with single
// underscores between them; the interface's name is identifiers joined by dots.
struct Interface {
    std::string name;
    Doc doc;
    std::vector<Record> records;
    std::vector<Method> methods;
    // The names of the interfaces its methods' fields are references to, each once, in the
    // order first named: those of the same description, and others by their dotted names.
    std::vector<std::string> interfaceTypes;
    // The line of its name.
    uint32_t line = 0;

    // The method named `name`, or null.
    const Method* findMethod(std::string_view name) const;
    // The method of transaction code `code`, or null.
    const Method* findMethod(uint32_t code) const;
};

// A description: the interfaces of one .zi file (1 to kMaxInterfaces, names unique), in
// the order written. An object answers the interface query with a description whose first
// interface is its own, followed by the others of its file.
struct Description {
    std::vector<Interface> interfaces;

    // The interface named `name`, or null.
    const Interface* find(std::string_view name) const;
};

// How deep values of `type` nest (at least 1; the language allows kMaxDepth, idl/limits.h).
uint32_t depthOf(const Interface& interface, const Type& type);

// The type as the language writes it: "i32", "s16?[]", "Point[][]", "sample.IAdder".
std::string typeName(const Interface& interface, const Type& type);

}  // namespace zorlek::idl
