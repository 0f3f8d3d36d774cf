// SPDX-License-Identifier: Apache-2.0
#pragma once

// The tool's usage text as its users see it, kept apart from the code that prints it so
// that a change to either shows up as a failing test.

namespace zorlek::test {

inline constexpr char kUsage[] =
    "Usage: zorlek [-h|-?]\n"
    "       zorlek list\n"
    "       zorlek check SERVICE\n"
    "       zorlek call SERVICE CODE [i32 INT | s16 STR] ...\n"
    "Options:\n"
    "   i32: Write the integer INT into the send parcel.\n"
    "   s16: Write the UTF-16 string STR into the send parcel.\n";

}  // namespace zorlek::test
