// SPDX-License-Identifier: Apache-2.0
// The names that the C library, POSIX and the compilers take as macros, which a generated
// header cannot use: the preprocessor would replace them before C++ sees them.
#pragma once

#include <string_view>

namespace zorlek::idl {

// Why `name` (an identifier of the language: letters and digits, single underscores
// between) cannot be written in C++ as a macro could replace it, or null. Refused:
//   - the lowercase macros of the headers a generated header includes, of <assert.h> and
//     <setjmp.h>, and those the compilers predefine on Linux (errno, stdin, offsetof,
//     va_start, htole32, linux, unix, i386, ...);
//   - E and a capital or digit (<errno.h> reserves them), SIG and a capital (<signal.h>);
//   - capitals (and digits) before the first underscore, as C's, POSIX's and Linux's
//     macros are written (INT32_MAX, CHAR_BIT, SEEK_SET, X_OK, SYS_read, ...);
//   - the macros in capitals without an underscore (NULL, BUFSIZ, WNOHANG, ...).
const char* macroClash(std::string_view name);

}  // namespace zorlek::idl
