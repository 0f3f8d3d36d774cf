// SPDX-License-Identifier: Apache-2.0
#include "idl/source_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace zorlek::idl {

status_t readSourceFile(const char* path, std::u16string* text) {
    unique_fd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return -errno;
    std::string bytes;
    char chunk[16384];
    // Up to one byte past the limit, to tell a file at the limit from a larger one.
    while (bytes.size() <= kMaxSourceBytes) {
        ssize_t got = ::read(fd.get(), chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -errno;
        if (got == 0) break;
        bytes.append(chunk, static_cast<size_t>(got));
    }
    if (bytes.size() > kMaxSourceBytes) return -EFBIG;
    text->clear();
    appendUtf8AsUtf16(text, bytes.data(), bytes.size());
    return OK;
}

}  // namespace zorlek::idl
