// SPDX-License-Identifier: Apache-2.0
// The limits of the text surface, for every program that writes through aout and aerr.
// The IPC library's are in platform/base/limits.h; docs/reliability.md has the same table.
#pragma once

#include <cstddef>

namespace zorlek {

// What one output stream holds before it writes: a screen of lines in one system call,
// and what a stream that drops lines on a blocked descriptor may lose at most.
constexpr size_t kTextOutputBufferBytes = 8192;

}  // namespace zorlek
