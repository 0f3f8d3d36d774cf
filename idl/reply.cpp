// SPDX-License-Identifier: Apache-2.0
// The fields of a reply as JSON (idl/values.h).
#include <cinttypes>
#include <cstdio>
#include <string>

#include "idl/json.h"
#include "idl/values.h"

namespace zorlek::idl {
namespace {

void appendHexBytes(String8* out, const std::vector<uint8_t>& bytes) {
    constexpr char kHex[] = "0123456789abcdef";
    out->push('"');
    for (uint8_t byte : bytes) out->push(kHex[byte >> 4]).push(kHex[byte & 0xF]);
    out->push('"');
}

// Reads typed values from a reply and writes them as JSON.
class ReplyReader {
  public:
    ReplyReader(Parcel& reply, const Interface& interface, String8* out)
        : reply_(reply), interface_(interface), out_(out) {}

    // Reads `fields` as one JSON object; false when the reply is malformed.
    bool readFields(const std::vector<Field>& fields) {
        out_->push('{');
        size_t length = path_.size();
        for (size_t i = 0; i < fields.size(); ++i) {
            // Names are identifiers: nothing in them needs an escape.
            out_->append(i == 0 ? "\"" : ", \"").append(fields[i].name.c_str()).append("\": ");
            path_.append(length == 0 ? "" : ".").append(fields[i].name);
            if (!readValue(fields[i].type)) return false;
            path_.resize(length);
        }
        out_->push('}');
        return true;
    }

    // Where the reply is malformed: "at PATH (TYPE)".
    void describeFailure(String8* why) const {
        why->append("at ").append(path_.c_str()).append(" (").append(failedType_.c_str());
        why->append(")");
    }

  private:
    bool fail(const Type& type) {
        if (failedType_.empty()) failedType_ = typeName(interface_, type);
        return false;
    }

    bool readValue(const Type& type) {
        if (type.arrays > 0) {
            size_t count = 0;
            if (readArrayCount(reply_, &count) != OK) return fail(type);
            out_->push('[');
            size_t length = path_.size();
            for (size_t i = 0; i < count; ++i) {
                if (i != 0) out_->append(", ");
                path_.append("[").append(std::to_string(i)).append("]");
                if (!readValue(type.element())) return false;
                path_.resize(length);
            }
            out_->push(']');
            return true;
        }
        if (type.kind == Kind::kRecord) return readFields(interface_.records[type.record].fields);
        return readScalar(type) || fail(type);
    }

    bool readScalar(const Type& type) {
        char number[24];
        switch (type.kind) {
            case Kind::kI32: {
                int32_t value = 0;
                if (readItem(reply_, &value) != OK) return false;
                std::snprintf(number, sizeof number, "%" PRId32, value);
                break;
            }
            case Kind::kI64: {
                int64_t value = 0;
                if (readItem(reply_, &value) != OK) return false;
                std::snprintf(number, sizeof number, "%" PRId64, value);
                break;
            }
            case Kind::kBool: {
                bool value = false;
                if (readItem(reply_, &value) != OK) return false;
                std::snprintf(number, sizeof number, "%s", value ? "true" : "false");
                break;
            }
            case Kind::kS16:
            case Kind::kNullableS16: {
                std::optional<String16> text;
                if (readItem(reply_, &text) != OK || (!text && type.kind == Kind::kS16))
                    return false;
                if (text) appendJsonString(out_, text->view());
                if (!text) out_->append("null");
                return true;
            }
            case Kind::kBytes: {
                std::vector<uint8_t> bytes;
                if (readItem(reply_, &bytes) != OK) return false;
                appendHexBytes(out_, bytes);
                return true;
            }
            case Kind::kRecord:
                return false;
        }
        out_->append(number);
        return true;
    }

    Parcel& reply_;
    const Interface& interface_;
    String8* out_;
    std::string path_;
    std::string failedType_;
};

}  // namespace

bool readReplyAsJson(Parcel& reply, const Interface& interface, const std::vector<Field>& fields,
                     String8* out, String8* why) {
    ReplyReader reader(reply, interface, out);
    if (reader.readFields(fields)) return true;
    reader.describeFailure(why);
    return false;
}

}  // namespace zorlek::idl
