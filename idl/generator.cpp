// SPDX-License-Identifier: Apache-2.0
#include "idl/generator.h"

#include <cstdio>

#include "idl/printer.h"
#include "platform/text.h"

namespace zorlek::idl {
namespace {

// The C++ type of values of `type`.
std::string cppType(const Interface& interface, const Type& type) {
    if (type.arrays > 0) return "std::vector<" + cppType(interface, type.element()) + ">";
    switch (type.kind) {
        case Kind::kI32:
            return "int32_t";
        case Kind::kI64:
            return "int64_t";
        case Kind::kBool:
            return "bool";
        case Kind::kS16:
            return "zorlek::String16";
        case Kind::kNullableS16:
            return "std::optional<zorlek::String16>";
        case Kind::kBytes:
            return "std::vector<uint8_t>";
        case Kind::kInterface:
            return "zorlek::sp<zorlek::IBinder>";
        case Kind::kRecord:
            break;
    }
    return interface.records[type.index].name;
}

// The code that writes `value` of `type` to `parcel` (a Parcel, or "*NAME" of a pointer to
// one), and that reads it to `*out`: references to objects as the parcel writes them.
std::string writeOf(const Type& type, const std::string& parcel, const std::string& value) {
    if (type.kind != Kind::kInterface) return "writeItem(" + parcel + ", " + value + ")";
    std::string object = parcel[0] == '*' ? parcel.substr(1) + "->" : parcel + ".";
    return object + "writeStrongBinder(" + value + ")";
}

std::string readOf(const Type& type, const std::string& parcel, const std::string& out) {
    if (type.kind != Kind::kInterface) return "readItem(" + parcel + ", &" + out + ")";
    return parcel + ".readStrongBinder(&" + out + ")";
}

// How an argument of `type` is passed in: small values as they are, others by reference.
std::string inType(const Interface& interface, const Type& type) {
    bool scalar = type.arrays == 0 &&
                  (type.kind == Kind::kI32 || type.kind == Kind::kI64 || type.kind == Kind::kBool);
    return scalar ? cppType(interface, type) : "const " + cppType(interface, type) + "&";
}

// "name_" with the position: the generated code's own locals, which no name of the
// language can be (no name ends with '_').
std::string local(char kind, size_t index) {
    return std::string(1, kind) + std::to_string(index) + "_";
}

// A line of a doc comment as the text of a // comment, which nothing in it can end or join
// to the next line: controls and lone surrogates escaped (\x0A, not a line break; NULs
// dropped), the spaces at its end dropped, and a backslash (or the trigraph of one) at its
// end escaped, for the compilers join a line that ends in a backslash and spaces.
std::string commentText(const std::u16string& line) {
    std::string text = narrowForDisplay(String16(line)).c_str();
    while (!text.empty() && text.back() == ' ') text.pop_back();
    if (!text.empty() && text.back() == '\\') text.replace(text.size() - 1, 1, "\\x5C");
    if (text.ends_with("?\?/")) text.replace(text.size() - 1, 1, "\\x2F");
    return text;
}

// The last part of the path `source`, its bytes outside printable ASCII and its
// backslashes as \xHH: what the header's first comment names, on that one line.
std::string sourceName(std::string_view source) {
    size_t slash = source.rfind('/');
    if (slash != std::string_view::npos) source.remove_prefix(slash + 1);
    std::string name;
    for (char c : source) {
        auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
            name.push_back(c);
        } else {
            char escape[5];
            std::snprintf(escape, sizeof escape, "\\x%02X", byte);
            name.append(escape);
        }
    }
    return name;
}

class Writer {
  public:
    std::string take() { return std::move(out_); }

    Writer& operator<<(std::string_view text) {
        out_.append(text);
        return *this;
    }

    // The doc comments, each line as a "///" comment at `indent`.
    void doc(const Doc& lines, std::string_view indent) {
        for (const std::u16string& line : lines) {
            std::string text = commentText(line);
            *this << indent << (text.empty() ? "///" : "/// ") << text << "\n";
        }
    }

    // The method's parameters: the arguments in, then the reply fields as out-pointers.
    void parameters(const Interface& interface, const Method& method) {
        std::string separator;
        for (const Field& argument : method.arguments) {
            *this << separator << inType(interface, argument.type) << " " << argument.name;
            separator = ", ";
        }
        for (const Field& field : method.reply) {
            *this << separator << cppType(interface, field.type) << "* " << field.name;
            separator = ", ";
        }
    }

    // The description as a UTF-16 literal, a line of it per line of code.
    void literal(const std::u16string& text) {
        *this << "    u\"";
        bool afterHex = false;
        for (size_t i = 0; i < text.size(); ++i) {
            char16_t unit = text[i];
            bool hexDigit = (unit >= u'0' && unit <= u'9') || (unit >= u'a' && unit <= u'f') ||
                            (unit >= u'A' && unit <= u'F');
            // A hex escape takes every hex digit after it: a new literal ends it.
            if (afterHex && hexDigit) *this << "\" u\"";
            afterHex = false;
            if (unit == u'\n') {
                *this << (i + 1 < text.size() ? "\\n\"\n    u\"" : "\\n");
            } else if (unit == u'"' || unit == u'\\' || unit == u'?') {
                // '?' too, so that no "??" reads as the start of a trigraph.
                *this << "\\" << std::string(1, static_cast<char>(unit));
            } else if (unit >= 0x20 && unit < 0x7F) {
                *this << std::string(1, static_cast<char>(unit));
            } else {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\x%X", static_cast<unsigned>(unit));
                *this << escape;
                afterHex = true;
            }
        }
        *this << "\"";
    }

  private:
    std::string out_;
};

void writeRecord(Writer& w, const Interface& interface, const Record& record) {
    w.doc(record.doc, "");
    w << "struct " << record.name << " {\n";
    for (const Field& field : record.fields) {
        w.doc(field.doc, "    ");
        w << "    " << cppType(interface, field.type) << " " << field.name << "{};\n";
    }
    w << "\n    bool operator==(const " << record.name << "&) const = default;\n};\n\n";
    w << "inline zorlek::status_t writeItem(zorlek::Parcel& parcel_, const " << record.name
      << "& value_) {\n";
    for (const Field& field : record.fields)
        w << "    writeItem(parcel_, value_." << field.name << ");\n";
    w << "    return parcel_.status();\n}\n\n";
    w << "inline zorlek::status_t readItem(zorlek::Parcel& parcel_, " << record.name
      << "* value_) {\n    size_t start_ = parcel_.dataPosition();\n    if (";
    for (size_t i = 0; i < record.fields.size(); ++i) {
        w << (i == 0 ? "" : " &&\n        ") << "readItem(parcel_, &value_->"
          << record.fields[i].name << ") == zorlek::OK";
    }
    w << ") {\n        return zorlek::OK;\n    }\n    parcel_.setDataPosition(start_);\n"
         "    return -EBADMSG;\n}\n\n";
}

void writeProxyMethod(Writer& w, const Interface& interface, const Method& method) {
    w.doc(method.doc, "    ");
    w << "    zorlek::status_t " << method.name << "(";
    w.parameters(interface, method);
    w << ") {\n        zorlek::Parcel request_;\n        "
         "request_.writeInterfaceToken(descriptor_());\n";
    for (const Field& argument : method.arguments)
        w << "        " << writeOf(argument.type, "request_", argument.name) << ";\n";
    if (method.oneway) {
        w << "        return call_(" << std::to_string(method.code)
          << ", request_, nullptr, zorlek::FLAG_ONEWAY);\n    }\n";
        return;
    }
    w << "        zorlek::Parcel reply_;\n        zorlek::status_t status_ = call_("
      << std::to_string(method.code) << ", request_, &reply_, 0);\n"
      << "        if (status_ != zorlek::OK) return status_;\n";
    for (size_t i = 0; i < method.reply.size(); ++i) {
        w << "        " << cppType(interface, method.reply[i].type) << " " << local('r', i)
          << "{};\n";
    }
    for (size_t i = 0; i < method.reply.size(); ++i) {
        w << "        if (" << readOf(method.reply[i].type, "reply_", local('r', i))
          << " != zorlek::OK) return -EBADMSG;\n";
    }
    for (size_t i = 0; i < method.reply.size(); ++i) {
        const std::string& name = method.reply[i].name;
        w << "        if (" << name << " != nullptr) *" << name << " = std::move(" << local('r', i)
          << ");\n";
    }
    w << "        return zorlek::OK;\n    }\n\n";
}

void writeDispatch(Writer& w, const Interface& interface, const Method& method) {
    w << "            case " << std::to_string(method.code) << ": {\n";
    for (size_t i = 0; i < method.arguments.size(); ++i) {
        w << "                " << cppType(interface, method.arguments[i].type) << " "
          << local('a', i) << "{};\n";
    }
    w << "                if (!data_.enforceInterface(LocalObject::descriptor())";
    for (size_t i = 0; i < method.arguments.size(); ++i) {
        w << " ||\n                    " << readOf(method.arguments[i].type, "data_", local('a', i))
          << " != zorlek::OK";
    }
    w << " ||\n                    data_.dataAvail() != 0) {\n                    return "
         "-EBADMSG;\n                }\n";
    for (size_t i = 0; i < method.reply.size(); ++i) {
        w << "                " << cppType(interface, method.reply[i].type) << " " << local('r', i)
          << "{};\n";
    }
    w << "                zorlek::status_t status_ = this->" << method.name << "(";
    std::string separator;
    for (size_t i = 0; i < method.arguments.size(); ++i) {
        w << separator << local('a', i);
        separator = ", ";
    }
    for (size_t i = 0; i < method.reply.size(); ++i) {
        w << separator << "&" << local('r', i);
        separator = ", ";
    }
    w << ");\n";
    if (method.oneway) {
        w << "                (void)status_;\n                return zorlek::OK;\n            }\n";
        return;
    }
    w << "                if (status_ != zorlek::OK) return status_;\n";
    for (size_t i = 0; i < method.reply.size(); ++i) {
        w << "                " << writeOf(method.reply[i].type, "*reply_", local('r', i)) << ";\n";
    }
    w << "                return reply_->status();\n            }\n";
}

// The first comment and the includes.
void writePreamble(Writer& w, std::string_view source) {
    w << "// Generated by zorlek-idl from " << sourceName(source)
      << ": change that file, not this one.\n"
      << "#pragma once\n\n#include <cstddef>\n#include <cstdint>\n#include <optional>\n"
      << "#include <utility>\n#include <vector>\n\n#include \"platform/hosting.h\"\n"
      << "#include \"platform/ipc.h\"\n";
}

// The opening of an interface's namespace and its two constants.
void writeConstants(Writer& w, const Description& description, size_t index,
                    const std::string& names) {
    w << "\nnamespace " << names << " {\n\n"
      << "// The interface's name: the descriptor its objects answer and every request's token.\n"
      << "inline constexpr char16_t kDescriptor[] = u\"" << description.interfaces[index].name
      << "\";\n\n"
      << "// The description its objects answer to the interface query (`zorlek describe`).\n"
      << "inline constexpr char16_t kDescription[] =\n";
    w.literal(printDescription(description, index));
    w << ";\n\n";
}

// class Proxy, the client side.
void writeProxy(Writer& w, const Interface& interface) {
    w.doc(interface.doc, "");
    w << "// The client side. Each method writes the token and the arguments, calls, and reads "
         "the\n"
         "// reply: it returns 0, the call's failure (-EPIPE, -ETIMEDOUT, the service's own "
         "status,\n"
         "// ...) or -EBADMSG for a reply the interface does not describe, and sets the non-null\n"
         "// out-pointers only on success. A proxy of a null object fails every call with "
         "-ENOENT.\n"
         "class Proxy {\n  public:\n"
         "    explicit Proxy(zorlek::sp<zorlek::IBinder> object) : object_(std::move(object)) "
         "{}\n\n";
    for (const Method& method : interface.methods) writeProxyMethod(w, interface, method);
    w << "  private:\n    static const zorlek::String16& descriptor_() {\n"
         "        static const zorlek::String16 descriptor{std::u16string(kDescriptor)};\n"
         "        return descriptor;\n    }\n"
         "    zorlek::status_t call_(uint32_t code, const zorlek::Parcel& request, zorlek::Parcel* "
         "reply,\n"
         "                           uint32_t flags) {\n"
         "        if (!object_) return -ENOENT;\n"
         "        if (request.status() != zorlek::OK) return request.status();\n"
         "        return object_->sendTransaction(code, request, reply, flags);\n    }\n\n"
         "    zorlek::sp<zorlek::IBinder> object_;\n};\n\n";
}

// class Service, the service side.
void writeService(Writer& w, const Interface& interface) {
    w.doc(interface.doc, "");
    w << "// The service side: derive from it and implement each method. A request is checked "
         "(its\n"
         "// token, its arguments, nothing after them: -EBADMSG otherwise) before its method is\n"
         "// called; the reply fields are written when the method returns 0, and any other status\n"
         "// is the call's answer, with an empty reply (a one-way method's goes nowhere). The\n"
         "// interface query is answered with kDescription.\n"
         "class Service : public zorlek::LocalObject {\n  public:\n"
         "    Service()\n        : LocalObject(zorlek::String16(std::u16string(kDescriptor)),\n"
         "                      zorlek::String16(std::u16string(kDescription))) {}\n\n";
    for (const Method& method : interface.methods) {
        w.doc(method.doc, "    ");
        w << "    virtual zorlek::status_t " << method.name << "(";
        w.parameters(interface, method);
        w << ") = 0;\n\n";
    }
    w << "    zorlek::status_t onTransact(uint32_t code_, zorlek::Parcel& data_, zorlek::Parcel* "
         "reply_,\n"
         "                                uint32_t flags_) override {\n        switch (code_) {\n";
    for (const Method& method : interface.methods) writeDispatch(w, interface, method);
    w << "            default:\n                return LocalObject::onTransact(code_, data_, "
         "reply_, flags_);\n"
         "        }\n    }\n};\n\n";
}

}  // namespace

std::string generateHeader(const Description& description, std::string_view source) {
    Writer w;
    writePreamble(w, source);
    for (size_t i = 0; i < description.interfaces.size(); ++i) {
        const Interface& interface = description.interfaces[i];
        std::string names = interface.name;
        for (size_t dot = names.find('.'); dot != std::string::npos; dot = names.find('.', dot)) {
            names.replace(dot, 1, "::");
        }
        writeConstants(w, description, i, names);
        for (const Record& record : interface.records) writeRecord(w, interface, record);
        writeProxy(w, interface);
        writeService(w, interface);
        w << "}  // namespace " << names << "\n";
    }
    return w.take();
}

}  // namespace zorlek::idl
