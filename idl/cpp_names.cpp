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

// A field, argument or reply field.
std::optional<NameClash> checkField(const std::set<std::string_view>& records, const Field& field) {
    if (const char* why = takenWhy(field.name)) return clash(field.line, field.name, why);
    if (records.count(field.name) != 0) {
        return clash(field.line, field.name, "names a record, and C++ cannot name a field so too");
    }
    return std::nullopt;
}

}  // namespace

std::optional<NameClash> findNameClash(const Interface& interface) {
    std::set<std::string_view> records;
    for (const Record& record : interface.records) records.insert(record.name);
    std::string_view name = interface.name;
    for (size_t start = 0; start <= name.size();) {
        size_t dot = name.find('.', start);
        std::string_view part = name.substr(start, dot == name.npos ? dot : dot - start);
        if (among(kEverywhere, part)) {
            return clash(1, part, "in the interface's name is a word C++ takes");
        }
        if (const char* why = macroClash(part)) {
            return clash(1, part, (std::string("in the interface's name ") + why).c_str());
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
                if (auto found = checkField(records, field)) return found;
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

}  // namespace zorlek::idl
