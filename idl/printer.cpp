// SPDX-License-Identifier: Apache-2.0
#include "idl/printer.h"

namespace zorlek::idl {
namespace {

void append(std::u16string* out, std::string_view ascii) {
    out->append(ascii.begin(), ascii.end());
}

void appendDoc(std::u16string* out, const Doc& doc, std::string_view indent) {
    for (const std::u16string& line : doc) {
        append(out, indent);
        append(out, line.empty() ? "///" : "/// ");
        out->append(line);
        out->push_back(u'\n');
    }
}

void appendField(std::u16string* out, const Interface& interface, const Field& field) {
    append(out, field.name);
    append(out, ": ");
    append(out, typeName(interface, field.type));
}

void appendFieldList(std::u16string* out, const Interface& interface,
                     const std::vector<Field>& fields) {
    out->push_back(u'(');
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i != 0) append(out, ", ");
        appendField(out, interface, fields[i]);
    }
    out->push_back(u')');
}

}  // namespace

std::u16string printInterface(const Interface& interface) {
    std::u16string out;
    appendDoc(&out, interface.doc, "");
    append(&out, "interface ");
    append(&out, interface.name);
    append(&out, ";\n");
    for (const Record& record : interface.records) {
        out.push_back(u'\n');
        appendDoc(&out, record.doc, "");
        append(&out, "record ");
        append(&out, record.name);
        append(&out, " {\n");
        for (const Field& field : record.fields) {
            appendDoc(&out, field.doc, "    ");
            append(&out, "    ");
            appendField(&out, interface, field);
            append(&out, ";\n");
        }
        append(&out, "}\n");
    }
    for (const Method& method : interface.methods) {
        out.push_back(u'\n');
        appendDoc(&out, method.doc, "");
        append(&out, method.oneway ? "oneway method " : "method ");
        append(&out, method.name);
        appendFieldList(&out, interface, method.arguments);
        if (!method.reply.empty()) {
            append(&out, " -> ");
            appendFieldList(&out, interface, method.reply);
        }
        append(&out, " = ");
        append(&out, std::to_string(method.code));
        append(&out, ";\n");
    }
    return out;
}

std::u16string printDescription(const Description& description, size_t first) {
    std::u16string out = printInterface(description.interfaces[first]);
    for (size_t i = 0; i < description.interfaces.size(); ++i) {
        if (i == first) continue;
        out.push_back(u'\n');
        out.append(printInterface(description.interfaces[i]));
    }
    return out;
}

}  // namespace zorlek::idl
