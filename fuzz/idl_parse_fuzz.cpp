// SPDX-License-Identifier: Apache-2.0
// Untrusted bytes as an interface description, as a service may send one: read as UTF-16LE
// units (byte 0 odd) or as UTF-8 (byte 0 even). Whatever arrives, the reading ends with a
// description or an error whose line lies in the text and whose reason is printable ASCII;
// a description read is sound (1 to 64 interfaces of unique names; in each, codes in range
// and unique, names that are identifiers, no type nested past the limit, interface types
// only as methods' fields, one-word ones naming an interface of the description), and its
// canonical text, with any of its interfaces first, reads back as the same text.

#include <cctype>
#include <cstdint>
#include <set>
#include <string>

#include "fuzz/check.h"
#include "idl/parser.h"
#include "idl/printer.h"

namespace zorlek {
namespace {

using fuzz::check;

bool printableAscii(const String8& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        if (text.data()[i] < 0x20 || text.data()[i] > 0x7E) return false;
    }
    return true;
}

bool identifier(const std::string& name) {
    if (name.empty() || !std::isalpha(static_cast<unsigned char>(name[0])) || name.back() == '_') {
        return false;
    }
    for (size_t i = 0; i < name.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (!std::isalnum(c) && !(c == '_' && name[i - 1] != '_')) return false;
    }
    return true;
}

void checkFields(const idl::Interface& interface, const std::vector<idl::Field>& fields,
                 uint32_t depthLeft) {
    std::set<std::string> names;
    for (const idl::Field& field : fields) {
        check(identifier(field.name), "field name");
        check(names.insert(field.name).second, "field named twice");
        check(idl::depthOf(interface, field.type) <= depthLeft, "nested past the limit");
        check(field.type.kind != idl::Kind::kRecord || field.type.index < interface.records.size(),
              "record index");
        check(field.type.kind != idl::Kind::kInterface ||
                  (field.type.index < interface.interfaceTypes.size() && field.type.arrays == 0),
              "interface type");
    }
}

void checkInterface(const idl::Description& description, const idl::Interface& interface) {
    for (const std::string& name : interface.interfaceTypes) {
        check(name.find('.') != std::string::npos || description.find(name) != nullptr,
              "a one-word interface type the description lacks");
    }
    std::set<uint32_t> codes;
    std::set<std::string> names;
    for (size_t i = 0; i < interface.records.size(); ++i) {
        const idl::Record& record = interface.records[i];
        check(identifier(record.name) && !record.fields.empty(), "record");
        checkFields(interface, record.fields, idl::kMaxDepth - 1);
        // Records name only those declared before them, so that none holds itself.
        for (const idl::Field& field : record.fields) {
            check(field.type.kind != idl::Kind::kRecord || field.type.index < i, "record order");
        }
        check(record.depth <= idl::kMaxDepth, "record depth");
        for (const idl::Field& field : record.fields) {
            check(field.type.kind != idl::Kind::kInterface, "an interface type in a record");
        }
    }
    for (const idl::Method& method : interface.methods) {
        check(identifier(method.name) && names.insert(method.name).second, "method name");
        check(method.code >= 1 && method.code <= idl::kMaxCode, "code range");
        check(codes.insert(method.code).second, "code taken twice");
        check(!method.oneway || method.reply.empty(), "one-way with a reply");
        checkFields(interface, method.arguments, idl::kMaxDepth);
        checkFields(interface, method.reply, idl::kMaxDepth);
    }
}

}  // namespace
}  // namespace zorlek

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zorlek;
    if (size == 0) return 0;
    std::u16string text;
    if ((data[0] & 1) != 0) {
        for (size_t i = 1; i + 1 < size; i += 2)
            text.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
    } else {
        appendUtf8AsUtf16(&text, reinterpret_cast<const char*>(data + 1), size - 1);
    }
    size_t lines = 1;
    for (char16_t unit : text) lines += unit == u'\n';
    idl::ParseError error;
    std::optional<idl::Description> description = idl::parseDescription(text, &error);
    if (!description) {
        check(error.line >= 1 && error.line <= lines, "error line outside the text");
        check(error.why.size() > 0 && printableAscii(error.why), "reason not printable");
        return 0;
    }
    const std::vector<idl::Interface>& interfaces = description->interfaces;
    check(!interfaces.empty() && interfaces.size() <= idl::kMaxInterfaces, "interface count");
    std::set<std::string> names;
    for (const idl::Interface& interface : interfaces) {
        check(names.insert(interface.name).second, "an interface twice");
        checkInterface(*description, interface);
    }
    std::u16string canonical = idl::printDescription(*description);
    // Each interface's own text; a few at most, so that one input stays fast.
    for (size_t own = 0; own < interfaces.size() && own < 4; ++own) {
        std::u16string ownText = idl::printDescription(*description, own);
        std::optional<idl::Description> again = idl::parseDescription(ownText, &error);
        check(again.has_value(), "canonical text does not read back");
        check(idl::printDescription(*again) == ownText, "canonical text is not stable");
        check(again->interfaces[0].name == interfaces[own].name, "not its own first");
        check(own != 0 || ownText == canonical, "the first's text is not the canonical");
    }
    return 0;
}
