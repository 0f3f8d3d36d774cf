// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace zorlek {

// Reads a command-line integer the way atoi does: leading white space (space, \t, \n,
// \v, \f, \r) is skipped, then an optional '+' or '-' and decimal digits are read up to
// the first other character; text without digits gives 0. No hexadecimal ("0x10" is 0).
// The value must lie in -2147483648..4294967295; a value above 2147483647 stands for its
// 32-bit pattern (4294967295 gives -1, as does "-1"). nullopt outside that range, for
// any number of digits. Reading ends at the end of `text` as at any other character.
std::optional<int32_t> parseInteger32(std::string_view text);

// SECONDS as "--timeout" takes it: decimal digits, with an optional fraction after a '.',
// of at most INT_MAX milliseconds (digits past the thousandths are dropped); the
// milliseconds, or nullopt for any other text.
std::optional<int> parseSeconds(const char* text);

// A count as an option takes it: decimal digits only, at most `most`; nullopt for any
// other text.
std::optional<uint64_t> parseDecimal(const char* text, uint64_t most);

}  // namespace zorlek
