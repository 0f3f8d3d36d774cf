// SPDX-License-Identifier: Apache-2.0
// The rows of the commands operators and scripts use: `status` against `check`, and how
// soon `wait` ends after the name it waits for is registered.
#pragma once

#include <string>

namespace zorlek::bench {

// `status` and `check`, whole process, in turn.
void statusRow();

// `zorlek wait NAME` asleep in its wait; the name registered by a host in this process;
// the time from the registration being sent to the tool having ended, 100 times.
void waitRow();

}  // namespace zorlek::bench
