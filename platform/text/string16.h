// SPDX-License-Identifier: Apache-2.0
#pragma once

#if __cplusplus < 202002L
#error "zorlek's headers need C++20 or later: compile with -std=c++20"
#endif

#include <cstddef>
#include <string>
#include <string_view>

namespace zorlek {

// A UTF-16 string: a value type holding code units, not characters (a surrogate pair
// is two units). Copies are independent.
class String16 {
  public:
    // The empty string.
    String16() = default;
    // Decodes NUL-terminated UTF-8. ASCII gives one unit per byte; each maximal
    // ill-formed subsequence becomes one U+FFFD. A null pointer gives the empty string.
    explicit String16(const char* utf8);
    // As above, for exactly `len` bytes (embedded NULs are decoded as U+0000).
    String16(const char* utf8, size_t len);
    // Takes the given code units as they are, valid UTF-16 or not.
    explicit String16(std::u16string units) : units_(std::move(units)) {}

    // Number of code units; 0 for the empty string.
    size_t size() const { return units_.size(); }
    // The code unit at `index`; `index` must be below size().
    char16_t operator[](size_t index) const { return units_[index]; }
    // The units as a contiguous array of size() units (not NUL-terminated).
    const char16_t* data() const { return units_.data(); }
    std::u16string_view view() const { return units_; }

    bool operator==(const String16& other) const = default;
    // Orders by code units, as the registry sorts names.
    auto operator<=>(const String16& other) const = default;

  private:
    std::u16string units_;
};

// Decodes UTF-8 into UTF-16 code units, appending to `out` (U+FFFD per maximal
// ill-formed subsequence).
void appendUtf8AsUtf16(std::u16string* out, const char* utf8, size_t len);

}  // namespace zorlek

// Hashes by code units, so that String16 keys an unordered container: keyed per process
// (SipHash-1-3 under a random key), as a table keyed by names a peer chose must be, so
// that nobody can build names that share one bucket.
template <>
struct std::hash<zorlek::String16> {
    size_t operator()(const zorlek::String16& text) const;
};
