// SPDX-License-Identifier: Apache-2.0
// Untrusted bytes as the reply of a typed method, read as `invoke` reads it. Input: a
// description, a 0 byte, then the reply's bytes (without a description that reads, a fixed
// one with every type is used). Every method's reply fields (and its arguments, read the
// same way) are read from the bytes. Whatever arrives, reading stays in bounds, a
// malformed reply says where, and what is read prints as valid JSON, within invoke's bound
// of the reply and the description, that writes back exactly the bytes it was read from.
// The bytes, after the first interface's token, are also a call to an object of it: each
// method's call is valid JSON of the count it was counted at, or a malformed request.

#include <cstdint>
#include <cstring>
#include <string>

#include "commands/limits.h"
#include "commands/typed/json_reader.h"
#include "commands/typed/values.h"
#include "fuzz/check.h"
#include "idl/parser.h"

namespace zorlek {
namespace {

using fuzz::check;

const char16_t kEveryType[] =
    u"interface f.IEvery;\n"
    u"record P { x: i32; t: s16?; }\n"
    u"record Q { p: P; ps: P[]; b: bytes; }\n"
    u"method a() -> (i: i32, l: i64, f: bool, s: s16, n: s16?, d: bytes) = 1;\n"
    u"method b() -> (q: Q, qs: Q[], g: i64[][], t: s16?[], f: bool[]) = 2;\n"
    u"method c() -> (bs: bytes[], s: s16[]) = 3;\n"
    u"method d(o: f.IEvery, n: i32) -> (o: g.IOther, p: f.IEvery) = 4;\n";

// The reply's JSON as invoke writes it, counted first and then written within the bound.
void readAs(const idl::Interface& interface, size_t descriptionBytes,
            const std::vector<idl::Field>& fields, const uint8_t* bytes, size_t size) {
    Parcel reply;
    check(reply.setData(bytes, size) == OK, "setData");
    const size_t limit = kInvokeJsonPerInputByte * (size + descriptionBytes);
    String8 json, why;
    JsonWriter counter(nullptr, limit);
    typed::ReplyJson read = typed::writeReplyAsJson(reply, interface, fields, counter, &why);
    check(counter.written() <= limit, "counted past the bound");
    if (read == typed::ReplyJson::kMalformed) {
        check(std::strncmp(why.c_str(), "at ", 3) == 0, "a failure that does not say where");
        return;
    }
    if (read == typed::ReplyJson::kTooLarge) return;
    size_t used = reply.dataPosition();
    check(used <= size, "read past the end");
    reply.setDataPosition(0);
    TextOutput out(-1, nullptr, TextOutput::Flushing::kWhenFull);
    out.captureInto(&json);
    JsonWriter writer(&out, limit);
    check(typed::writeReplyAsJson(reply, interface, fields, writer, &why) ==
                  typed::ReplyJson::kWritten &&
              writer.written() == counter.written(),
          "written otherwise than counted");
    out.flush();
    check(json.size() == counter.written(), "the output is not what was counted");
    typed::JsonError error;
    check(typed::parseJson(std::string_view(json.data(), json.size()), &error).has_value(),
          "output is not JSON");
    Parcel again;
    bool back = typed::writeJsonFields(again, interface, fields,
                                       std::string_view(json.data(), json.size()), &why);
    // An object the bytes held prints as its interface, which names no object to write.
    if (!back && std::string_view(why.c_str()).ends_with("(objects are not written from JSON)")) {
        return;
    }
    check(back, "output does not write back");
    check(again.dataSize() == used && (used == 0 || std::memcmp(again.data(), bytes, used) == 0),
          "written back, not the bytes read");
}

// The bytes as a call of `code` to an object of `interface`, as invoke's object prints it.
void callAs(const idl::Interface& interface, uint32_t code, const uint8_t* bytes, size_t size) {
    Parcel request;
    request.writeInterfaceToken(String16(interface.name.c_str()));
    request.write(bytes, size);
    const size_t limit = kInvokeJsonPerInputByte * (request.dataSize() + 64);
    JsonWriter counter(nullptr, limit);
    status_t status = typed::writeCallAsJson(request, interface, code, counter);
    check(status == OK || status == -EBADMSG || status == -EMSGSIZE || status == -EBADRQC,
          "a call's status");
    check(counter.written() <= limit, "counted past the bound");
    check((status == -EBADRQC) == (interface.findMethod(code) == nullptr), "a code's method");
    if (status != OK) return;
    check(request.dataAvail() == 0, "a call with bytes left");
    String8 json;
    TextOutput out(-1, nullptr, TextOutput::Flushing::kWhenFull);
    out.captureInto(&json);
    JsonWriter writer(&out, limit);
    request.setDataPosition(0);
    check(typed::writeCallAsJson(request, interface, code, writer) == OK &&
              writer.written() == counter.written(),
          "a call written otherwise than counted");
    out.flush();
    typed::JsonError error;
    check(typed::parseJson(std::string_view(json.data(), json.size()), &error).has_value(),
          "a call's output is not JSON");
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
    std::optional<idl::Description> description;
    if (split != nullptr) description = idl::parseDescription(text, &error);
    if (!description) {
        text = kEveryType;
        description = idl::parseDescription(text, &error);
    }
    check(description.has_value(), "the fixed description");
    const idl::Interface& interface = description->interfaces[0];
    const uint8_t* reply = split != nullptr ? split + 1 : data;
    size_t replySize = size - static_cast<size_t>(reply - data);
    size_t methods = 0;
    for (const idl::Method& method : interface.methods) {
        // A few methods at most, so that a long description does not make one input slow.
        if (++methods > 8) break;
        readAs(interface, text.size() * sizeof(char16_t), method.reply, reply, replySize);
        readAs(interface, text.size() * sizeof(char16_t), method.arguments, reply, replySize);
        callAs(interface, method.code, reply, replySize);
    }
    callAs(interface, idl::kMaxCode, reply, replySize);
    return 0;
}
