// SPDX-License-Identifier: Apache-2.0
// The hash of every table keyed by text a peer chose. The standard library's string hash
// has one seed for every process, so a peer can build names that all share one value and
// turn a table's lookups into a walk of one long bucket. This one is SipHash-1-3 under a
// key drawn from the kernel's random source once per process: without the key, nobody can
// tell which names collide.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zorlek {

// SipHash of `size` bytes under the key (`k0`, `k1`), with `rounds` compression rounds per
// word and `finalRounds` at the end (1 and 3 for the tables; 2 and 4 is the hash's first
// published form, which the tests check against its published values).
uint64_t sipHash(const void* bytes, size_t size, uint64_t k0, uint64_t k1, int rounds = 1,
                 int finalRounds = 3);

// SipHash-1-3 of `size` bytes under this process's key, drawn on first use (getrandom;
// where the kernel has no randomness yet, from clocks and addresses).
uint64_t keyedHash(const void* bytes, size_t size);

// The hasher for unordered containers keyed by text: std::string, std::u16string and
// their views. String16 keys need none: std::hash<String16> is this one.
struct KeyedTextHash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const {
        return static_cast<size_t>(keyedHash(text.data(), text.size()));
    }
    size_t operator()(std::u16string_view text) const {
        return static_cast<size_t>(keyedHash(text.data(), text.size() * sizeof(char16_t)));
    }
};

}  // namespace zorlek
