// SPDX-License-Identifier: Apache-2.0
// Command-line integers: atoi's reading rules with the range -2147483648..4294967295.

#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <string>

#include "commands/integer.h"

namespace zorlek {
namespace {

struct IntCase {
    std::string text;
    std::optional<int32_t> value;
};

TEST(ParseInteger32, ReadsAsAtoiWithinTheRange) {
    const IntCase cases[] = {
        {"0", 0},
        {"7", 7},
        {"-5", -5},
        {"+5", 5},
        {"-0", 0},
        {" \t\n\v\f\r42", 42},
        {"   -17", -17},
        {"12abc", 12},
        {"1 2", 1},
        {"0x10", 0},
        {"seven", 0},
        {"", 0},
        {"-", 0},
        {"+", 0},
        {"+-5", 0},
        {"- 5", 0},
        {"--5", 0},
        {"\xC2\xA0"
         "5",
         0},  // no-break space is not white space here
        {"000000000000000000000000000000001", 1},
        {"2147483647", INT32_MAX},
        {"2147483648", INT32_MIN},
        {"3000000000", static_cast<int32_t>(3000000000u)},
        {"4294967295", -1},
        {"00000000000000000000004294967295", -1},
        {"4294967295xyz", -1},
        {"-2147483648", INT32_MIN},
        {"-2147483647", -2147483647},
    };
    for (const IntCase& c : cases) {
        EXPECT_EQ(parseInteger32(c.text), c.value) << "[" << c.text << "]";
    }
}

TEST(ParseInteger32, RefusesEverythingOutsideTheRange) {
    const std::string cases[] = {
        "4294967296",
        "4294967297",
        "42949672950",
        "-2147483649",
        "-4294967295",
        "-4294967296",
        "18446744073709551615",  // 2^64 - 1: wraps to -1 in 64-bit arithmetic
        "18446744073709551616",  // 2^64: wraps to 0
        "18446744078004518912",  // 2^64 + 2^32: wraps to 2^32
        "99999999999999999999999999999999999999999999999999",
        "-99999999999999999999999999999999999999999999999999",
        "  +4294967296abc",
        std::string(5000, '9'),
    };
    for (const std::string& c : cases) {
        EXPECT_EQ(parseInteger32(c), std::nullopt) << "[" << c.substr(0, 60) << "]";
    }
}

TEST(ParseInteger32, StopsAtTheEndOfTheGivenText) {
    // A value cut out of a longer argument (launchFlags=12=34) ends where the view ends.
    std::string_view whole = "1234";
    EXPECT_EQ(parseInteger32(whole.substr(0, 2)), 12);
    EXPECT_EQ(parseInteger32(whole.substr(0, 0)), 0);
    std::string_view big = "42949672950";
    EXPECT_EQ(parseInteger32(big.substr(0, 10)), -1);
}

}  // namespace
}  // namespace zorlek
