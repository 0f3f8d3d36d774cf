// SPDX-License-Identifier: Apache-2.0
// Names built as a hostile peer builds them: eight UTF-16 units each, valid as service
// names, that all share one value of the standard library's unkeyed string hash (its seed
// is the same in every process, so anyone can compute them). Each name's first four units
// are free; its last four are solved so that the hash's state after them is the first
// name's. Made for the library's 64-bit murmur-style byte hash; names that do not collide
// there are not returned, so a caller checks it got what it asked for.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace zorlek::test {

namespace colliding {

constexpr uint64_t kMul = (uint64_t{0xc6a4a793} << 32) + 0x5bd1e995;
constexpr uint64_t kSeed = 0xc70f6907;

inline uint64_t shiftMix(uint64_t v) {
    return v ^ (v >> 47);
}

inline uint64_t inverse(uint64_t odd) {
    uint64_t x = odd;  // Newton's iteration: each step doubles the bits that are right
    for (int i = 0; i < 6; ++i) x *= 2 - odd * x;
    return x;
}

inline uint64_t load(const char16_t* units) {
    uint64_t word;
    std::memcpy(&word, units, sizeof word);
    return word;
}

}  // namespace colliding

// Up to `count` distinct names of eight units that all share one unkeyed hash value.
inline std::vector<std::u16string> collidingNames(size_t count) {
    using namespace colliding;
    const uint64_t inv = inverse(kMul);
    auto mix = [](uint64_t word) { return shiftMix(word * kMul) * kMul; };
    const uint64_t start = kSeed ^ (16 * kMul);
    std::u16string first = u"hashbomb";
    const uint64_t target =
        ((start ^ mix(load(first.data()))) * kMul ^ mix(load(&first[4]))) * kMul;
    const uint64_t want = std::hash<std::u16string_view>()(first);
    std::vector<std::u16string> out;
    for (uint32_t i = 0; out.size() < count && i < (1u << 20); ++i) {
        std::u16string name(8, u'a');
        for (int unit = 0; unit < 4; ++unit) name[unit] = u'a' + ((i >> (5 * unit)) & 31);
        uint64_t after = (start ^ mix(load(name.data()))) * kMul;
        uint64_t tail = shiftMix((target * inv ^ after) * inv) * inv;
        std::memcpy(&name[4], &tail, sizeof tail);
        bool valid = true;
        for (int unit = 4; unit < 8; ++unit) {
            char16_t c = name[unit];
            valid = valid && c >= 0x20 && c != 0x7F && (c < 0xD800 || c > 0xDFFF);
        }
        if (valid && std::hash<std::u16string_view>()(name) == want) out.push_back(name);
    }
    return out;
}

// `count` names of the same shape that collide no more than any names do.
inline std::vector<std::u16string> plainNames(size_t count) {
    std::vector<std::u16string> out;
    for (uint32_t i = 0; i < count; ++i) {
        std::u16string name = u"plain";
        for (int unit = 0; unit < 3; ++unit) name += u'a' + ((i >> (5 * unit)) & 31);
        out.push_back(name);
    }
    return out;
}

}  // namespace zorlek::test
