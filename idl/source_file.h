// SPDX-License-Identifier: Apache-2.0
// Reading a description from a file.
#pragma once

#include <string>

#include "platform/ipc.h"

namespace zorlek::idl {

// The largest description file read: as large as a parcel, whose one string a description
// must fit in anyway.
constexpr size_t kMaxSourceBytes = kMaxParcelSize;

// Reads the file at `path` (any kind that can be read to its end, a pipe too) and decodes
// its UTF-8 as String16 does into `*text`. Returns 0, -EFBIG past kMaxSourceBytes, or the
// negative errno of the open or read that failed.
status_t readSourceFile(const char* path, std::u16string* text);

}  // namespace zorlek::idl
