// SPDX-License-Identifier: Apache-2.0
// The fields of a reply as JSON (commands/typed/values.h).
#include <string>

#include "commands/typed/values.h"

namespace zorlek::typed {
namespace {

using idl::Kind;
using idl::Type;

// One step of the path to the value being read: a field, or an item of an array.
struct Step {
    const Field* field = nullptr;
    size_t index = 0;
};

// Reads typed values from a reply and writes them as JSON as it goes. Keeps only the path
// to the value being read, which it spells out when the reply is malformed.
class ReplyReader {
  public:
    ReplyReader(Parcel& reply, const Interface& interface, JsonWriter& out)
        : reply_(reply), interface_(interface), out_(out) {}

    // Reads `fields` as one JSON object; false when the reply is malformed or the writer
    // is past its limit.
    bool readFields(const std::vector<Field>& fields) {
        out_.beginObject();
        for (const Field& field : fields) {
            path_.push_back({&field, 0});
            // Names are identifiers: nothing in them needs an escape.
            out_.key(field.name);
            if (!readValue(field.type)) return false;
            path_.pop_back();
        }
        out_.endObject();
        return !out_.exceeded();
    }

    // Where the reply is malformed: "at PATH (TYPE)".
    void describeFailure(String8* why) const {
        std::string path;
        for (const Step& step : path_) {
            if (step.field == nullptr) {
                path.append("[").append(std::to_string(step.index)).append("]");
            } else {
                path.append(path.empty() ? "" : ".").append(step.field->name);
            }
        }
        why->append("at ").append(path.c_str()).append(" (").append(failedType_.c_str());
        why->append(")");
    }

  private:
    bool fail(const Type& type) {
        if (failedType_.empty()) failedType_ = typeName(interface_, type);
        return false;
    }

    bool readValue(const Type& type) {
        if (out_.exceeded()) return false;
        if (type.arrays > 0) {
            size_t count = 0;
            if (readArrayCount(reply_, &count) != OK) return fail(type);
            out_.beginArray();
            path_.push_back({nullptr, 0});
            for (size_t i = 0; i < count; ++i) {
                path_.back().index = i;
                if (!readValue(type.element())) return false;
            }
            path_.pop_back();
            out_.endArray();
            return true;
        }
        if (type.kind == Kind::kRecord) return readFields(interface_.records[type.index].fields);
        return readScalar(type) || fail(type);
    }

    bool readScalar(const Type& type) {
        switch (type.kind) {
            case Kind::kI32: {
                int32_t value = 0;
                if (readItem(reply_, &value) != OK) return false;
                out_.number(value);
                return true;
            }
            case Kind::kI64: {
                int64_t value = 0;
                if (readItem(reply_, &value) != OK) return false;
                out_.number(value);
                return true;
            }
            case Kind::kBool: {
                bool value = false;
                if (readItem(reply_, &value) != OK) return false;
                out_.boolean(value);
                return true;
            }
            case Kind::kS16:
            case Kind::kNullableS16:
                return readText(type.kind == Kind::kNullableS16);
            case Kind::kBytes: {
                std::vector<uint8_t> bytes;
                if (readItem(reply_, &bytes) != OK) return false;
                out_.hexString(bytes.data(), bytes.size());
                return true;
            }
            case Kind::kInterface:
                return readObject(type);
            case Kind::kRecord:
                break;
        }
        return false;
    }

    // A reference: null, or the interface the field declares.
    bool readObject(const Type& type) {
        sp<IBinder> object;
        if (reply_.readStrongBinder(&object) != OK) return false;
        if (!object) {
            out_.null();
            return true;
        }
        out_.beginObject().key("interface").string(interface_.interfaceTypes[type.index]);
        out_.endObject();
        return true;
    }

    bool readText(bool nullable) {
        std::optional<String16> text;
        if (readItem(reply_, &text) != OK || (!text && !nullable)) return false;
        if (text) {
            out_.string(*text);
        } else {
            out_.null();
        }
        return true;
    }

    Parcel& reply_;
    const Interface& interface_;
    JsonWriter& out_;
    std::vector<Step> path_;
    std::string failedType_;
};

}  // namespace

status_t writeCallAsJson(Parcel& request, const Interface& interface, uint32_t code,
                         JsonWriter& out) {
    const Method* method = interface.findMethod(code);
    if (method == nullptr) return -EBADRQC;
    if (!request.enforceInterface(String16(interface.name.c_str()))) return -EBADMSG;
    out.beginObject().key("method").string(method->name).key("args");
    ReplyReader reader(request, interface, out);
    if (!reader.readFields(method->arguments)) return out.exceeded() ? -EMSGSIZE : -EBADMSG;
    if (request.dataAvail() != 0) return -EBADMSG;
    out.endObject();
    return out.exceeded() ? -EMSGSIZE : OK;
}

ReplyJson writeReplyAsJson(Parcel& reply, const Interface& interface,
                           const std::vector<Field>& fields, JsonWriter& out, String8* why) {
    ReplyReader reader(reply, interface, out);
    if (reader.readFields(fields)) return ReplyJson::kWritten;
    if (out.exceeded()) return ReplyJson::kTooLarge;
    reader.describeFailure(why);
    return ReplyJson::kMalformed;
}

}  // namespace zorlek::typed
