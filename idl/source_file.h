// SPDX-License-Identifier: Apache-2.0
// Reading a description from a file.
#pragma once

#include <string>

#include "idl/limits.h"
#include "platform/ipc.h"

namespace zorlek::idl {

// Reads the file at `path` (any kind that can be read to its end, a pipe too) and decodes
// its UTF-8 as String16 does into `*text`. Returns 0, -EFBIG past kMaxSourceBytes (idl/limits.h),
// or the negative errno of the open or read that failed.
status_t readSourceFile(const char* path, std::u16string* text);

}  // namespace zorlek::idl
