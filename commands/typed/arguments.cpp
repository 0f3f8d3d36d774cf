// SPDX-License-Identifier: Apache-2.0
// The arguments of a method from command-line text (commands/typed/values.h).
#include <cstdio>
#include <cstring>
#include <string>

#include "commands/typed/json_reader.h"
#include "commands/typed/values.h"
#include "idl/hex_digit.h"

namespace zorlek::typed {
namespace {

using idl::hexDigitValue;
using idl::Kind;
using idl::Type;
using JsonKind = JsonValue::Kind;

// Reads an integer of `kind` (kI32 or kI64): an optional '-', then decimal digits, or with
// `hex` also "0x" and hex digits; nothing else. Null, or why not.
const char* readInteger(std::string_view text, Kind kind, bool hex, int64_t* value) {
    bool negative = !text.empty() && text[0] == '-';
    if (negative) text.remove_prefix(1);
    uint32_t base = 10;
    if (hex && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) return "not an integer";
    // The largest magnitude of either sign, so that accumulation cannot overflow.
    const uint64_t limit = kind == Kind::kI32 ? uint64_t{1} << 31 : uint64_t{1} << 63;
    uint64_t magnitude = 0;
    for (char c : text) {
        int digit = hexDigitValue(static_cast<unsigned char>(c));
        if (digit < 0 || static_cast<uint32_t>(digit) >= base) return "not an integer";
        if (magnitude > (limit - static_cast<uint64_t>(digit)) / base) return "out of range";
        magnitude = magnitude * base + static_cast<uint64_t>(digit);
    }
    if (!negative && magnitude == limit) return "out of range";
    *value = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
    return nullptr;
}

// Reads hex digits, two a byte.
const char* readHex(std::u16string_view text, std::vector<uint8_t>* bytes) {
    if (text.size() % 2 != 0) return "an odd number of hex digits";
    for (size_t i = 0; i < text.size(); i += 2) {
        int high = hexDigitValue(text[i]), low = hexDigitValue(text[i + 1]);
        if (high < 0 || low < 0) return "not hex digits";
        bytes->push_back(static_cast<uint8_t>(high << 4 | low));
    }
    return nullptr;
}

// True when the UTF-16 `key` is the ASCII `name`.
bool sameName(std::u16string_view key, std::string_view name) {
    if (key.size() != name.size()) return false;
    for (size_t i = 0; i < key.size(); ++i) {
        if (key[i] != static_cast<unsigned char>(name[i])) return false;
    }
    return true;
}

status_t writeInteger(Parcel& parcel, Kind kind, int64_t value) {
    return kind == Kind::kI32 ? writeItem(parcel, static_cast<int32_t>(value))
                              : writeItem(parcel, value);
}

const char* writeFields(Parcel& parcel, const Interface& interface,
                        const std::vector<Field>& fields, const JsonValue& value,
                        std::string* path);

// Writes a JSON value of `type`; null, or why not (with `*path` at the value).
const char* writeJson(Parcel& parcel, const Interface& interface, const Type& type,
                      const JsonValue& value, std::string* path) {
    if (type.arrays > 0) {
        if (value.kind != JsonKind::kArray) return "expected a JSON array";
        writeArrayCount(parcel, value.items.size());
        size_t length = path->size();
        for (size_t i = 0; i < value.items.size(); ++i) {
            path->append("[").append(std::to_string(i)).append("]");
            if (const char* why =
                    writeJson(parcel, interface, type.element(), value.items[i], path))
                return why;
            path->resize(length);
        }
        return nullptr;
    }
    switch (type.kind) {
        case Kind::kI32:
        case Kind::kI64: {
            if (value.kind != JsonKind::kNumber) return "expected an integer";
            int64_t number = 0;
            const char* why = readInteger(value.number, type.kind, false, &number);
            if (why != nullptr) return why;
            writeInteger(parcel, type.kind, number);
            return nullptr;
        }
        case Kind::kBool:
            if (value.kind != JsonKind::kTrue && value.kind != JsonKind::kFalse)
                return "expected true or false";
            writeItem(parcel, value.kind == JsonKind::kTrue);
            return nullptr;
        case Kind::kNullableS16:
            if (value.kind == JsonKind::kNull) {
                parcel.writeNullString16();
                return nullptr;
            }
            [[fallthrough]];
        case Kind::kS16:
            if (value.kind != JsonKind::kString)
                return type.kind == Kind::kS16 ? "expected a string" : "expected a string or null";
            writeItem(parcel, String16(value.string));
            return nullptr;
        case Kind::kBytes: {
            if (value.kind != JsonKind::kString) return "expected a string of hex digits";
            std::vector<uint8_t> bytes;
            if (const char* why = readHex(value.string, &bytes)) return why;
            writeItem(parcel, bytes);
            return nullptr;
        }
        case Kind::kInterface:
            if (value.kind != JsonKind::kNull)
                return "expected null (objects are not written from JSON)";
            parcel.writeStrongBinder(nullptr);
            return nullptr;
        case Kind::kRecord:
            break;
    }
    return writeFields(parcel, interface, interface.records[type.index].fields, value, path);
}

// Writes a JSON object as `fields`, each member named as a field; null, or why not.
const char* writeFields(Parcel& parcel, const Interface& interface,
                        const std::vector<Field>& fields, const JsonValue& value,
                        std::string* path) {
    if (value.kind != JsonKind::kObject) return "expected a JSON object";
    const char* separator = path->empty() ? "" : ".";
    for (const std::u16string& key : value.keys) {
        bool known = false;
        for (const Field& field : fields) known = known || sameName(key, field.name);
        if (known) continue;
        path->append(separator).append(narrowForDisplay(String16(key)).c_str());
        return "no such field";
    }
    size_t length = path->size();
    for (const Field& field : fields) {
        path->append(separator).append(field.name);
        const JsonValue* member = nullptr;
        for (size_t i = 0; i < value.keys.size(); ++i) {
            if (sameName(value.keys[i], field.name)) member = &value.items[i];
        }
        if (member == nullptr) return "missing";
        if (const char* why = writeJson(parcel, interface, field.type, *member, path)) return why;
        path->resize(length);
    }
    return nullptr;
}

// Writes an argument of an interface type: null, or @ for an object the maker makes.
const char* writeObject(Parcel& parcel, const Interface& interface, const Type& type,
                        std::string_view text, const ObjectArguments& objects) {
    if (text == "null") {
        parcel.writeStrongBinder(nullptr);
        return nullptr;
    }
    if (text != "@") return "expected @ (an object of the tool's) or null";
    if (objects.maker == nullptr) return "objects (@) cannot be passed here";
    const std::string& name = interface.interfaceTypes[type.index];
    const Interface* described =
        objects.description != nullptr ? objects.description->find(name) : nullptr;
    if (described == nullptr) return "no description of this interface to serve an object (@) by";
    sp<IBinder> object = objects.maker->make(*described);
    if (!object) return "no object (@) could be made";
    parcel.writeStrongBinder(object);
    return nullptr;
}

// Writes the command-line text of an argument of `type`; null, or why not (with `*path`
// at the value when it is inside JSON).
const char* writeText(Parcel& parcel, const Interface& interface, const Type& type,
                      std::string_view text, std::string* path, String8* jsonWhy,
                      const ObjectArguments& objects) {
    if (type.arrays == 0 && type.kind != Kind::kRecord) {
        switch (type.kind) {
            case Kind::kInterface:
                return writeObject(parcel, interface, type, text, objects);
            case Kind::kI32:
            case Kind::kI64: {
                int64_t number = 0;
                const char* why = readInteger(text, type.kind, true, &number);
                if (why == nullptr) writeInteger(parcel, type.kind, number);
                return why;
            }
            case Kind::kBool:
                if (text != "true" && text != "false") return "expected true or false";
                writeItem(parcel, text == "true");
                return nullptr;
            case Kind::kNullableS16:
                if (text == "null") {
                    parcel.writeNullString16();
                    return nullptr;
                }
                [[fallthrough]];
            case Kind::kS16:
                writeItem(parcel, String16(text.data(), text.size()));
                return nullptr;
            case Kind::kBytes: {
                std::vector<uint8_t> bytes;
                const char* why = readHex(std::u16string(text.begin(), text.end()), &bytes);
                if (why == nullptr) writeItem(parcel, bytes);
                return why;
            }
            case Kind::kRecord:
                break;
        }
    }
    JsonError error;
    std::optional<JsonValue> value = parseJson(text, &error);
    if (!value) {
        char where[64];
        std::snprintf(where, sizeof where, "not JSON at byte %zu: ", error.offset);
        jsonWhy->append(where).append(error.why);
        return jsonWhy->c_str();
    }
    return writeJson(parcel, interface, type, *value, path);
}

// "Invalid value for argument 'NAME' (TYPE): [at PATH: ]WHY".
void describeInvalid(String8* out, const Interface& interface, const Field& argument,
                     const std::string& path, const char* why) {
    out->append("Invalid value for argument '").append(argument.name.c_str()).append("' (");
    out->append(typeName(interface, argument.type).c_str()).append("): ");
    if (path != argument.name) out->append("at ").append(path.c_str()).append(": ");
    out->append(why);
}

// Which word gives each argument, in the declared order: the named ones (every word that
// holds '=') first, then the bare values fill the others in turn. False, with `*why` set,
// for a name the method has not, an argument given twice, or a value too many.
bool assignWords(const Method& method, const char* const* words, size_t count,
                 std::vector<const char*>* given, String8* why) {
    for (size_t i = 0; i < count; ++i) {
        std::string_view word = words[i];
        size_t equals = word.find('=');
        if (equals == std::string_view::npos) continue;
        const Field* named = nullptr;
        for (const Field& argument : method.arguments) {
            if (argument.name == word.substr(0, equals)) named = &argument;
        }
        if (named == nullptr) {
            std::string_view name = word.substr(0, equals);
            why->append("No argument '")
                .append(narrowForDisplay(String16(name.data(), name.size())).c_str());
            why->append("' in ").append(method.name.c_str());
            why->append(" (a value that holds '=' is given as NAME=VALUE)");
            return false;
        }
        size_t slot = static_cast<size_t>(named - method.arguments.data());
        if ((*given)[slot] != nullptr) {
            why->append("Argument '").append(named->name.c_str()).append("' given twice");
            return false;
        }
        (*given)[slot] = words[i] + equals + 1;
    }
    size_t slot = 0;
    for (size_t i = 0; i < count; ++i) {
        if (std::strchr(words[i], '=') != nullptr) continue;
        while (slot < given->size() && (*given)[slot] != nullptr) ++slot;
        if (slot == given->size()) {
            why->append("Too many arguments for ").append(method.name.c_str()).append(": ");
            why->append(words[i]);
            return false;
        }
        (*given)[slot] = words[i];
    }
    return true;
}

}  // namespace

bool writeJsonFields(Parcel& parcel, const Interface& interface, const std::vector<Field>& fields,
                     std::string_view json, String8* why) {
    JsonError error;
    std::optional<JsonValue> value = parseJson(json, &error);
    std::string path;
    const char* wrong = value ? writeFields(parcel, interface, fields, *value, &path) : error.why;
    if (wrong == nullptr) return true;
    if (!path.empty()) why->append("at ").append(path.c_str()).append(": ");
    why->append(wrong);
    return false;
}

bool writeArguments(Parcel& request, const Interface& interface, const Method& method,
                    const char* const* words, size_t count, String8* why,
                    const ObjectArguments& objects) {
    std::vector<const char*> given(method.arguments.size(), nullptr);
    if (!assignWords(method, words, count, &given, why)) return false;
    for (size_t slot = 0; slot < given.size(); ++slot) {
        const Field& argument = method.arguments[slot];
        if (given[slot] == nullptr) {
            why->append("No value for argument '").append(argument.name.c_str()).append("' (");
            why->append(typeName(interface, argument.type).c_str()).append(") of ");
            why->append(method.name.c_str());
            return false;
        }
        std::string path = argument.name;
        String8 jsonWhy;
        const char* wrong =
            writeText(request, interface, argument.type, given[slot], &path, &jsonWhy, objects);
        if (wrong != nullptr) {
            describeInvalid(why, interface, argument, path, wrong);
            return false;
        }
    }
    return true;
}

}  // namespace zorlek::typed
