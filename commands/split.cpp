// SPDX-License-Identifier: Apache-2.0
#include "commands/split.h"

namespace zorlek {

std::optional<std::string_view> nextPiece(std::string_view* rest, char delimiter) {
    size_t start = rest->find_first_not_of(delimiter);
    if (start == std::string_view::npos) {
        *rest = std::string_view();
        return std::nullopt;
    }
    size_t end = rest->find(delimiter, start);
    std::string_view piece = rest->substr(start, end == std::string_view::npos ? end : end - start);
    rest->remove_prefix(end == std::string_view::npos ? rest->size() : end + 1);
    return piece;
}

}  // namespace zorlek
