// SPDX-License-Identifier: Apache-2.0
#pragma once

namespace zorlek {

// Writes the usage text, seven lines each ended by a newline, to aout.
void printUsage();

}  // namespace zorlek
