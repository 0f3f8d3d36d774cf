// SPDX-License-Identifier: Apache-2.0
#include "driver/usage.h"

#include "platform/text.h"

namespace zorlek {

void printUsage() {
    aout << "Usage: zorlek [-h|-?]\n"
            "       zorlek list\n"
            "       zorlek check SERVICE\n"
            "       zorlek call SERVICE CODE [i32 INT | s16 STR] ...\n"
            "Options:\n"
            "   i32: Write the integer INT into the send parcel.\n"
            "   s16: Write the UTF-16 string STR into the send parcel.\n";
}

}  // namespace zorlek
