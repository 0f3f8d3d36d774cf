// SPDX-License-Identifier: Apache-2.0
// Untrusted bytes as the reply of a typed method, read as `invoke` reads it. Input: a
// description, a 0 byte, then the reply's bytes (without a description that reads, a fixed
// one with every type is used). Every method's reply fields (and its arguments, read the
// same way) are read from the bytes. Whatever arrives, reading stays in bounds, a
// malformed reply says where, and what is read prints as valid JSON, in proportion to the
// bytes, that writes back exactly the bytes it was read from.

#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/check.h"
#include "idl/json.h"
#include "idl/parser.h"
#include "idl/values.h"

namespace zorlek {
namespace {

using fuzz::check;

const char16_t kEveryType[] =
    u"interface f.IEvery;\n"
    u"record P { x: i32; t: s16?; }\n"
    u"record Q { p: P; ps: P[]; b: bytes; }\n"
    u"method a() -> (i: i32, l: i64, f: bool, s: s16, n: s16?, d: bytes) = 1;\n"
    u"method b() -> (q: Q, qs: Q[], g: i64[][], t: s16?[], f: bool[]) = 2;\n"
    u"method c() -> (bs: bytes[], s: s16[]) = 3;\n";

size_t longestName(const idl::Interface& interface) {
    size_t longest = 0;
    auto fields = [&](const std::vector<idl::Field>& list) {
        for (const idl::Field& field : list) longest = std::max(longest, field.name.size());
    };
    for (const idl::Record& record : interface.records) fields(record.fields);
    for (const idl::Method& method : interface.methods) {
        fields(method.arguments);
        fields(method.reply);
    }
    return longest;
}

void readAs(const idl::Interface& interface, const std::vector<idl::Field>& fields,
            const uint8_t* bytes, size_t size) {
    Parcel reply;
    check(reply.setData(bytes, size) == OK, "setData");
    String8 json, why;
    if (!idl::readReplyAsJson(reply, interface, fields, &json, &why)) {
        check(std::strncmp(why.c_str(), "at ", 3) == 0, "a failure that does not say where");
        return;
    }
    size_t used = reply.dataPosition();
    check(used <= size, "read past the end");
    // Each 4 bytes read give at most a value at every level of nesting, with its key.
    size_t bound =
        64 + (used / 4 + fields.size() + 1) * idl::kMaxDepth * (longestName(interface) + 32);
    check(json.size() <= bound, "output out of proportion");
    idl::JsonError error;
    check(idl::parseJson(std::string_view(json.data(), json.size()), &error).has_value(),
          "output is not JSON");
    Parcel again;
    check(idl::writeJsonFields(again, interface, fields, std::string_view(json.data(), json.size()),
                               &why),
          "output does not write back");
    check(again.dataSize() == used && (used == 0 || std::memcmp(again.data(), bytes, used) == 0),
          "written back, not the bytes read");
}

}  // namespace
}  // namespace zorlek

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zorlek;
    const uint8_t* split =
        size == 0 ? nullptr : static_cast<const uint8_t*>(std::memchr(data, 0, size));
    size_t textSize = split != nullptr ? static_cast<size_t>(split - data) : 0;
    std::u16string text;
    appendUtf8AsUtf16(&text, reinterpret_cast<const char*>(data), textSize);
    idl::ParseError error;
    std::optional<idl::Interface> interface;
    if (split != nullptr) interface = idl::parseInterface(text, &error);
    if (!interface) interface = idl::parseInterface(kEveryType, &error);
    check(interface.has_value(), "the fixed description");
    const uint8_t* reply = split != nullptr ? split + 1 : data;
    size_t replySize = size - static_cast<size_t>(reply - data);
    size_t methods = 0;
    for (const idl::Method& method : interface->methods) {
        // A few methods at most, so that a long description does not make one input slow.
        if (++methods > 8) break;
        readAs(*interface, method.reply, reply, replySize);
        readAs(*interface, method.arguments, reply, replySize);
    }
    return 0;
}
