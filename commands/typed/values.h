// SPDX-License-Identifier: Apache-2.0
// Typed values in and out of parcels, for a person at a command line: the arguments of a
// method from text, and the fields of a reply as JSON.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "idl/model.h"
#include "platform/ipc.h"
#include "platform/text.h"
#include "platform/text/json_writer.h"

namespace zorlek::typed {

using idl::Description;
using idl::Field;
using idl::Interface;
using idl::Method;

// Makes the objects that `@` arguments pass.
class ObjectMaker {
  public:
    virtual ~ObjectMaker() = default;
    // A new object of `interface` (a model in the description given with the maker, which
    // outlives the object's use), or null when none can be made.
    virtual sp<IBinder> make(const Interface& interface) = 0;
};

// What arguments of interface types need besides their text.
struct ObjectArguments {
    // Where the interface of a `@` argument is described; null: nowhere.
    const Description* description = nullptr;
    // Makes the object a `@` argument passes; null: `@` is refused. Not owned.
    ObjectMaker* maker = nullptr;
};

// Writes the arguments of `method` into `request` (after its interface token) from the
// command-line words `words[0..count)`. A word holding '=' is NAME=VALUE, and the text
// before its first '=' must name an argument of the method; a word without '=' is a bare
// value, which goes to the first argument in the declared order not given yet (a value that
// holds '=' is given in the named form). Every argument must be given, once.
//
// A value is read strictly against its type: i32 and i64 as decimal or 0x-hexadecimal
// integers with an optional '-' and nothing else, in the type's range; bool as true or
// false; s16 as the text itself (its UTF-8 decoded as String16 decodes it); s16? likewise,
// or null; bytes as hexadecimal digits, two a byte; arrays and records as JSON, where an
// integer is a JSON number without fraction or exponent, a string a JSON string, bytes a
// JSON string of hex digits, and a record an object with exactly its fields. An argument of
// an interface type is null (a null reference) or @: an object that `objects.maker` makes
// for the interface, which `objects.description` must describe; nothing else.
//
// Returns true, or false with `*why` set to one line saying which argument is wrong and
// why (the request is then incomplete and must not be sent). A write the parcel refused
// (a reference it cannot hold, a parcel past its size) is left in request.status().
bool writeArguments(Parcel& request, const Interface& interface, const Method& method,
                    const char* const* words, size_t count, String8* why,
                    const ObjectArguments& objects = {});

// Writes a JSON object of `fields`, as readReplyAsJson writes it (members in any order),
// into `parcel`: each field's value is read as it would be inside an array or record
// argument, and one of an interface type only as null (a null reference). Returns true, or
// false with `*why` set ("at NAME: WHY").
bool writeJsonFields(Parcel& parcel, const Interface& interface, const std::vector<Field>& fields,
                     std::string_view json, String8* why);

// What writeReplyAsJson made of a reply.
enum class ReplyJson : uint8_t {
    kWritten,    // the whole object
    kMalformed,  // the reply does not hold the fields; `*why` says where
    kTooLarge,   // the object would pass the writer's limit
};

// Reads `fields` from `reply` at its read position and writes them to `out` as one JSON
// object: {"name": value, ...} in the declared order, where integers and bools are JSON
// numbers and literals, strings JSON strings (quoteJson), a null s16? null, bytes a string
// of lowercase hex digits, arrays and records arrays and objects, a reference to an object
// null or {"interface": "NAME"} with the field's declared interface. What the reply holds
// after the fields (appended by a newer service) is left unread.
//
// Unless kWritten, `out` has part of the object: write it to a counting writer first, and
// to the output only once that said kWritten. On kMalformed, `*why` names where, as
// "at items[2].name (s16)". Recursion is bounded by the interface's depth (idl/limits.h),
// and the work by the writer's limit and the reply's size; nothing is kept but the place.
ReplyJson writeReplyAsJson(Parcel& reply, const Interface& interface,
                           const std::vector<Field>& fields, JsonWriter& out, String8* why);

// Writes one call to an object of `interface`, `request` read from its start (the interface
// token, then the arguments), as the JSON object {"method": "NAME", "args": {...}}, the
// arguments as writeReplyAsJson writes fields. Returns 0; -EBADRQC when `code` is no method
// of the interface; -EBADMSG when the request is not the method's (another token, an
// argument missing or malformed, bytes after the arguments); -EMSGSIZE when the JSON would
// pass the writer's limit. Unless 0, `out` has part of the object: write to a counting
// writer first (and rewind the request) as with replies. The request's position is left
// where reading stopped.
status_t writeCallAsJson(Parcel& request, const Interface& interface, uint32_t code,
                         JsonWriter& out);

}  // namespace zorlek::typed
