// SPDX-License-Identifier: Apache-2.0
#include "platform/text/json_writer.h"

#include <cinttypes>
#include <cstdio>

#include "platform/text/hex.h"
#include "platform/text/narrow.h"
#include "platform/text/string8.h"

namespace zorlek {

void JsonWriter::put(std::string_view text) {
    if (exceeded_) return;
    if (text.size() > limit_ - written_) {
        exceeded_ = true;
        return;
    }
    written_ += text.size();
    if (out_ != nullptr) out_->write(text.data(), text.size());
}

void JsonWriter::separate() {
    if (!first_ && !afterKey_) put(", ");
    first_ = false;
    afterKey_ = false;
}

JsonWriter& JsonWriter::item(std::string_view text) {
    separate();
    put(text);
    return *this;
}

JsonWriter& JsonWriter::open(char bracket) {
    item(std::string_view(&bracket, 1));
    first_ = true;
    return *this;
}

JsonWriter& JsonWriter::close(char bracket) {
    put(std::string_view(&bracket, 1));
    first_ = false;
    afterKey_ = false;
    return *this;
}

JsonWriter& JsonWriter::key(std::string_view name) {
    string(name);
    put(": ");
    afterKey_ = true;
    return *this;
}

JsonWriter& JsonWriter::string(const String16& text) {
    String8 quoted = quoteJson(text);
    return item(std::string_view(quoted.data(), quoted.size()));
}

JsonWriter& JsonWriter::string(std::string_view text) {
    // Printable ASCII but the quote and the backslash is its own escape: the names of keys,
    // which a record writes again for every value, go out without a copy.
    for (char c : text) {
        if (c < 0x20 || c > 0x7E || c == '"' || c == '\\') {
            return string(String16(text.data(), text.size()));
        }
    }
    separate();
    put("\"");
    put(text);
    put("\"");
    return *this;
}

JsonWriter& JsonWriter::hexString(const uint8_t* bytes, size_t size) {
    separate();
    put("\"");
    for (size_t i = 0; i < size && !exceeded_; ++i) {
        const char pair[2] = {lowerHexDigit(bytes[i] >> 4), lowerHexDigit(bytes[i])};
        put(std::string_view(pair, 2));
    }
    put("\"");
    return *this;
}

JsonWriter& JsonWriter::number(int64_t value) {
    char text[24];
    int size = std::snprintf(text, sizeof text, "%" PRId64, value);
    return item(std::string_view(text, static_cast<size_t>(size)));
}

JsonWriter& JsonWriter::boolean(bool value) {
    return item(value ? "true" : "false");
}

JsonWriter& JsonWriter::null() {
    return item("null");
}

}  // namespace zorlek
