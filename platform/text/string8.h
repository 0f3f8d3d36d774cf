// SPDX-License-Identifier: Apache-2.0
#pragma once

#if __cplusplus < 202002L
#error "zorlek's headers need C++20 or later: compile with -std=c++20"
#endif

#include <cstddef>
#include <string>

namespace zorlek {

// An 8-bit string: bytes with no encoding enforced. Always readable as NUL-terminated
// (embedded NULs end that view early).
class String8 {
  public:
    // The empty string.
    String8() = default;
    // Copies the bytes of a NUL-terminated string; null gives the empty string.
    explicit String8(const char* text) { append(text); }

    // Appends the bytes of a NUL-terminated string; null or "" appends nothing.
    String8& append(const char* text);
    // Appends `len` bytes.
    String8& append(const char* bytes, size_t len);
    // Appends one byte.
    String8& push(char byte);

    // The bytes, NUL-terminated; valid until the next change.
    const char* c_str() const { return bytes_.c_str(); }
    const char* data() const { return bytes_.data(); }
    // Number of bytes.
    size_t size() const { return bytes_.size(); }
    void clear() { bytes_.clear(); }

    bool operator==(const String8& other) const = default;

  private:
    std::string bytes_;
};

}  // namespace zorlek
