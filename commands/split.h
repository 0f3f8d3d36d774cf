// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <optional>
#include <string_view>

namespace zorlek {

// Takes the next piece of `*rest` as strtok_r does with the single delimiter
// `delimiter`: delimiters before the piece are skipped, and the piece runs up to the
// next delimiter or the end. `*rest` is left just past that delimiter. nullopt (and
// `*rest` emptied) when nothing but delimiters is left; a piece is never empty.
// The returned view points into the same characters as `*rest`.
std::optional<std::string_view> nextPiece(std::string_view* rest, char delimiter);

}  // namespace zorlek
