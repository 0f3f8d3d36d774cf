// SPDX-License-Identifier: Apache-2.0
#include "idl/cpp_names.h"

#include "idl/c_macros.h"

#include <set>
#include <string>
#include <string_view>

namespace zorlek::idl {
namespace {

// C++20's keywords and alternative tokens, and the names the generated code writes
// unqualified or as the start of a qualified name, wherever an interface's name may be.
constexpr std::string_view kEverywhere[] = {
    "alignas",
    "alignof",
    "and",
    "and_eq",
    "asm",
    "auto",
    "bitand",
    "bitor",
    "bool",
    "break",
    "case",
    "catch",
    "char",
    "char8_t",
    "char16_t",
    "char32_t",
    "class",
    "compl",
    "concept",
    "const",
    "consteval",
    "constexpr",
    "constinit",
    "const_cast",
    "continue",
    "co_await",
    "co_return",
    "co_yield",
    "decltype",
    "default",
    "delete",
    "do",
    "double",
    "dynamic_cast",
    "else",
    "enum",
    "explicit",
    "export",
    "extern",
    "false",
    "float",
    "for",
    "friend",
    "goto",
    "if",
    "inline",
    "int",
    "long",
    "mutable",
    "namespace",
    "new",
    "noexcept",
    "not",
    "not_eq",
    "nullptr",
    "operator",
    "or",
    "or_eq",
    "private",
    "protected",
    "public",
    "register",
    "reinterpret_cast",
    "requires",
    "return",
    "short",
    "signed",
    "sizeof",
    "static",
    "static_assert",
    "static_cast",
    "struct",
    "switch",
    "template",
    "this",
    "thread_local",
    "throw",
    "true",
    "try",
    "typedef",
    "typeid",
    "typename",
    "union",
    "unsigned",
    "using",
    "virtual",
    "void",
    "volatile",
    "wchar_t",
    "while",
    "xor",
    "xor_eq",
    // Written by the generated code.
    "std",
    "zorlek",
    "int32_t",
    "int64_t",
    "uint8_t",
    "uint32_t",
    "size_t",
};

// Beside the records, in the interface's namespace.
constexpr std::string_view kBesideRecords[] = {
    "Proxy", "Service", "kDescriptor", "kDescription", "readItem", "writeItem",
};

// Beside the methods, in the classes Proxy and Service (a LocalObject), whose own names
// are those of their constructors.
constexpr std::string_view kBesideMethods[] = {
    "Proxy",      "Service",    "onTransact", "sendTransaction", "descriptor",  "description",
    "callingUid", "callingPid", "incStrong",  "decStrong",       "strongCount",
};

template <size_t N>
bool among(const std::string_view (&names)[N], std::string_view name) {
    for (std::string_view taken : names) {
        if (taken == name) return true;
    }
    return false;
}

NameClash clash(uint32_t line, std::string_view name, const char* why) {
    NameClash found{line, String8("'")};
    found.why.append(name.data(), name.size()).append("' ").append(why);
    return found;
}

// Why `name` cannot stand anywhere in the generated code (with `beside`, the names taken
// where it stands), or null.
template <size_t N = 1>
const char* takenWhy(std::string_view name, const std::string_view (*beside)[N] = nullptr) {
    if (among(kEverywhere, name) || (beside != nullptr && among(*beside, name))) {
        return "is a word C++ or the generated code takes";
    }
    return macroClash(name);
}

// The classes' own names, which a method's parameter in them would hide.
constexpr std::string_view kBesideParameters[] = {"Proxy", "Service"};

// A field, argument or reply field (`parameter` for the last two).
std::optional<NameClash> checkField(const std::set<std::string_view>& records, const Field& field,
                                    bool parameter = false) {
    const char* why = parameter ? takenWhy(field.name, &kBesideParameters) : takenWhy(field.name);
    if (why != nullptr) return clash(field.line, field.name, why);
    if (records.count(field.name) != 0) {
        return clash(field.line, field.name, "names a record, and C++ cannot name a field so too");
    }
    return std::nullopt;
}

// The names of one interface.
std::optional<NameClash> findClashIn(const Interface& interface) {
    std::set<std::string_view> records;
    for (const Record& record : interface.records) records.insert(record.name);
    std::string_view name = interface.name;
    for (size_t start = 0; start <= name.size();) {
        size_t dot = name.find('.', start);
        std::string_view part = name.substr(start, dot == name.npos ? dot : dot - start);
        if (among(kEverywhere, part)) {
            return clash(interface.line, part, "in the interface's name is a word C++ takes");
        }
        if (const char* why = macroClash(part)) {
            return clash(interface.line, part,
                         (std::string("in the interface's name ") + why).c_str());
        }
        start = dot == name.npos ? name.size() + 1 : dot + 1;
    }
    for (const Record& record : interface.records) {
        if (const char* why = takenWhy(record.name, &kBesideRecords)) {
            return clash(record.line, record.name, why);
        }
        for (const Field& field : record.fields) {
            if (auto found = checkField(records, field)) return found;
        }
    }
    for (const Method& method : interface.methods) {
        if (const char* why = takenWhy(method.name, &kBesideMethods)) {
            return clash(method.line, method.name, why);
        }
        if (records.count(method.name) != 0) {
            return clash(method.line, method.name,
                         "names a record, and C++ cannot name a method so too");
        }
        for (const std::vector<Field>* fields : {&method.arguments, &method.reply}) {
            for (const Field& field : *fields) {
                if (auto found = checkField(records, field, true)) return found;
            }
        }
        for (const Field& argument : method.arguments) {
            for (const Field& field : method.reply) {
                if (field.name == argument.name) {
                    return clash(
                        field.line, field.name,
                        "names both an argument and a reply field, which C++ cannot tell apart");
                }
            }
        }
    }
    return std::nullopt;
}

// An interface whose namespace lies inside another's (a.b inside a) cannot take, for the
// part of its name there, a name that the other's namespace holds.
std::optional<NameClash> findNestingClash(const Interface& outer, const Interface& inner) {
    std::string_view name = inner.name;
    if (name.size() <= outer.name.size() || !name.starts_with(outer.name) ||
        name[outer.name.size()] != '.')
        return std::nullopt;
    name.remove_prefix(outer.name.size() + 1);
    std::string_view part = name.substr(0, name.find('.'));
    bool taken = among(kBesideRecords, part);
    for (const Record& record : outer.records) taken = taken || record.name == part;
    if (!taken) return std::nullopt;
    return clash(
        inner.line, part,
        (std::string("in the interface's name is taken in interface ") + outer.name).c_str());
}

}  // namespace

std::optional<NameClash> findNameClash(const Description& description) {
    for (const Interface& interface : description.interfaces) {
        if (auto found = findClashIn(interface)) return found;
        for (const Interface& outer : description.interfaces) {
            if (auto found = findNestingClash(outer, interface)) return found;
        }
    }
    return std::nullopt;
}

}  // namespace zorlek::idl
