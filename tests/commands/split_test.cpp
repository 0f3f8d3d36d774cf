// SPDX-License-Identifier: Apache-2.0
// Splitting as strtok_r splits: runs of the delimiter separate pieces, empty pieces
// never appear. Checked against strtok_r itself on a copy.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "commands/split.h"

namespace zorlek {
namespace {

std::vector<std::string> allPieces(std::string_view text, char delimiter) {
    std::vector<std::string> out;
    while (std::optional<std::string_view> piece = nextPiece(&text, delimiter)) {
        out.emplace_back(*piece);
    }
    return out;
}

std::vector<std::string> strtokPieces(std::string text, char delimiter) {
    std::vector<std::string> out;
    char delimiters[2] = {delimiter, '\0'};
    char* save = nullptr;
    for (char* piece = strtok_r(text.data(), delimiters, &save); piece != nullptr;
         piece = strtok_r(nullptr, delimiters, &save)) {
        out.emplace_back(piece);
    }
    return out;
}

struct SplitCase {
    std::string text;
    char delimiter;
    std::vector<std::string> pieces;
};

TEST(NextPiece, SplitsAsStrtokR) {
    const SplitCase cases[] = {
        {"", '=', {}},
        {"===", '=', {}},
        {"=", '=', {}},
        {"component", '=', {"component"}},
        {"action=X", '=', {"action", "X"}},
        {"=type=t", '=', {"type", "t"}},
        {"type==t", '=', {"type", "t"}},
        {"data=a=b", '=', {"data", "a", "b"}},
        {"key=", '=', {"key"}},
        {"key===", '=', {"key"}},
        {"==k==v==", '=', {"k", "v"}},
        {"a,b", ',', {"a", "b"}},
        {",a,,b,", ',', {"a", "b"}},
        {",,,", ',', {}},
        {"a=b,c", ',', {"a=b", "c"}},
    };
    for (const SplitCase& c : cases) {
        EXPECT_EQ(allPieces(c.text, c.delimiter), c.pieces) << "[" << c.text << "]";
        EXPECT_EQ(strtokPieces(c.text, c.delimiter), c.pieces) << "[" << c.text << "]";
    }
}

TEST(NextPiece, LeavesTheRestAfterOneDelimiter) {
    std::string_view rest = "type==t=u";
    EXPECT_EQ(nextPiece(&rest, '='), "type");
    EXPECT_EQ(rest, "=t=u");
    EXPECT_EQ(nextPiece(&rest, '='), "t");
    EXPECT_EQ(rest, "u");
    EXPECT_EQ(nextPiece(&rest, '='), "u");
    EXPECT_EQ(rest, "");
    EXPECT_EQ(nextPiece(&rest, '='), std::nullopt);
}

}  // namespace
}  // namespace zorlek
