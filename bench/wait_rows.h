// SPDX-License-Identifier: Apache-2.0
// The registry's waits against names built to collide under an unkeyed string hash.
#pragma once

namespace zorlek::bench {

// A wait of 1,024 names made and dropped while three other clients wait on 1,024 names
// each, all the names sharing one value of the standard library's unkeyed hash; against
// the same with names of the same shape that do not collide.
void collidingWaitRow();

}  // namespace zorlek::bench
