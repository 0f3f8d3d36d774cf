// SPDX-License-Identifier: Apache-2.0
// One JSON text written as it goes, for the tool's machine-readable output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/text/string16.h"
#include "platform/text/text_output.h"

namespace zorlek {

// Writes one JSON text on one line, straight to a stream or only counting its bytes:
// objects, arrays, keys and values, with ", " between the items of an array or object and
// ": " after a key. The caller nests the calls rightly (a key before each member's value,
// every begin ended); the writer places the separators, and keeps nothing but a few flags.
//
// A byte limit bounds the text: a piece that would take it past the limit is not written,
// nor anything after it, and exceeded() says so. What was written before stays written.
class JsonWriter {
  public:
    // Writes to `out`, or with null only counts. `out` is not owned.
    explicit JsonWriter(TextOutput* out, size_t limit = SIZE_MAX) : out_(out), limit_(limit) {}

    JsonWriter& beginObject() { return open('{'); }
    JsonWriter& endObject() { return close('}'); }
    JsonWriter& beginArray() { return open('['); }
    JsonWriter& endArray() { return close(']'); }

    // The key of the next member, as a JSON string (quoteJson's escapes for its UTF-8).
    JsonWriter& key(std::string_view name);
    // A string as quoteJson writes it.
    JsonWriter& string(const String16& text);
    // A string of ASCII or UTF-8 text, escaped as quoteJson escapes its UTF-16.
    JsonWriter& string(std::string_view text);
    // A string of two lowercase hex digits a byte.
    JsonWriter& hexString(const uint8_t* bytes, size_t size);
    JsonWriter& number(int64_t value);
    JsonWriter& boolean(bool value);
    JsonWriter& null();

    // Bytes written (or counted) so far.
    size_t written() const { return written_; }
    // True once a piece would have passed the limit.
    bool exceeded() const { return exceeded_; }

  private:
    // The separator a value needs before it, then the value's own bytes.
    JsonWriter& item(std::string_view text);
    JsonWriter& open(char bracket);
    JsonWriter& close(char bracket);
    void separate();
    void put(std::string_view text);

    TextOutput* out_;
    size_t limit_;
    size_t written_ = 0;
    bool exceeded_ = false;
    // The next item is the first of its array or object: no comma before it.
    bool first_ = true;
    // A key was written: its value follows without a comma.
    bool afterKey_ = false;
};

}  // namespace zorlek
