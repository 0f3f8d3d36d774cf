// SPDX-License-Identifier: Apache-2.0
// The hash of tables keyed by a peer's text: the published SipHash values, and names built
// to share one bucket under the standard library's unkeyed hash spread out under it.
#include "platform/text/keyed_hash.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "platform/text/string16.h"
#include "tests/support/colliding_names.h"

namespace zorlek {
namespace {

TEST(KeyedHash, SipHashGivesItsPublishedValues) {
    // Key 00 01 .. 0f, message 00 01 .. (n-1), two rounds per word and four at the end.
    struct Case {
        size_t length;
        uint64_t value;
    } const cases[] = {
        {0, 0x726fdb47dd0e0e31ULL},
        {1, 0x74f839c593dc67fdULL},
        {15, 0xa129ca6149be45e5ULL},
    };
    unsigned char message[16];
    for (int i = 0; i < 16; ++i) message[i] = static_cast<unsigned char>(i);
    const uint64_t k0 = 0x0706050403020100ULL, k1 = 0x0f0e0d0c0b0a0908ULL;
    for (const Case& c : cases) {
        EXPECT_EQ(sipHash(message, c.length, k0, k1, 2, 4), c.value) << c.length << " bytes";
    }
    // Every byte and the length count: no two of the prefixes share a value.
    std::set<uint64_t> values;
    for (size_t n = 0; n <= 16; ++n) values.insert(keyedHash(message, n));
    EXPECT_EQ(values.size(), 17u);
}

// The longest bucket of `table`.
template <typename Table>
size_t longestBucket(const Table& table) {
    size_t longest = 0;
    for (size_t i = 0; i < table.bucket_count(); ++i) {
        longest = std::max(longest, table.bucket_size(i));
    }
    return longest;
}

TEST(KeyedHash, NamesBuiltToCollideSpreadOverTheBuckets) {
    constexpr size_t kNames = 4096;
    std::vector<std::u16string> names = test::collidingNames(kNames);
    ASSERT_EQ(names.size(), kNames) << "the names were not built";
    // The attack as it stands: one value of the unkeyed hash, one bucket for all.
    std::unordered_set<std::u16string> unkeyed(names.begin(), names.end());
    ASSERT_EQ(longestBucket(unkeyed), kNames);

    // The tables of names (String16) and of other text hash them apart. At one name per
    // bucket on average, the longest of 4,096 random buckets holds about 7.
    std::unordered_set<String16> sixteen;
    std::unordered_map<std::u16string, int, KeyedTextHash> text;
    std::set<size_t> values;
    for (const std::u16string& name : names) {
        sixteen.insert(String16(name));
        text.emplace(name, 0);
        values.insert(std::hash<String16>()(String16(name)));
    }
    EXPECT_EQ(values.size(), kNames);
    EXPECT_LE(longestBucket(sixteen), 16u);
    EXPECT_LE(longestBucket(text), 16u);
    EXPECT_EQ(KeyedTextHash()(std::u16string_view(names[0])),
              std::hash<String16>()(String16(names[0])));
}

}  // namespace
}  // namespace zorlek
