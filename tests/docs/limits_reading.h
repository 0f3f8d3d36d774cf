// SPDX-License-Identifier: Apache-2.0
// Reading the limits headers and docs/reliability.md's table of limits, for the test that
// holds them together: the names a header declares, the rows of the table, and whether a
// row states a value in the document's words.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zorlek::docs {

// How the document writes a value: a count ("65,536"), bytes ("4 KiB", "1 MiB", "520
// bytes"), milliseconds ("100 ms", "10 s"), a share ("1/16"), a code ("0xFFFFFF"), or
// words the test's table gives.
enum class Unit { Count, Bytes, Ms, Us, Share, Hex, Text };

struct Limit {
    std::string_view name;  // as the test's table writes it, namespace and all
    uint64_t value;
    Unit unit;
    std::string_view text;  // Unit::Text: the words the document's row holds
};

struct Row {
    std::string limit;               // the first cell
    std::string text;                // every cell but the last
    std::vector<std::string> names;  // the backticked names of the last
};

// The file at `relative` in the source tree (at most 4 MiB of it); empty when unreadable.
std::string readSource(const std::string& relative);

// The names a header's `constexpr` declarations give (`constexpr T kName = ...` or `{...}`),
// its comments left out.
std::vector<std::string> declaredNames(std::string_view header);

// Every way the document may state `limit`'s value.
std::vector<std::string> forms(const Limit& limit);

// Whether `text` states `limit`'s value in one of its forms, as an amount of its own (not
// part of a larger number, a decimal, a fraction or a name).
bool states(std::string_view text, const Limit& limit);

// The rows of the document's "## Limits" table, header and rule left out.
std::vector<Row> limitRows(std::string_view doc);

}  // namespace zorlek::docs
