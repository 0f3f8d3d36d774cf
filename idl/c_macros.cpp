// SPDX-License-Identifier: Apache-2.0
#include "idl/c_macros.h"

namespace zorlek::idl {
namespace {

// Lowercase macros: of <errno.h>, <stddef.h>, <stdio.h>, <stdarg.h>, <assert.h>,
// <setjmp.h>, <alloca.h>, <endian.h>, <pthread.h> and <sched.h>, which the generated header
// brings in through the library's own headers, and the compilers' own in GNU modes.
constexpr std::string_view kLowercase[] = {
    "errno",
    "stdin",
    "stdout",
    "stderr",
    "offsetof",
    "va_start",
    "va_arg",
    "va_copy",
    "va_end",
    "assert",
    "setjmp",
    "alloca",
    "be16toh",
    "be32toh",
    "be64toh",
    "le16toh",
    "le32toh",
    "le64toh",
    "htobe16",
    "htobe32",
    "htobe64",
    "htole16",
    "htole32",
    "htole64",
    "pthread_cleanup_push",
    "pthread_cleanup_pop",
    "pthread_cleanup_push_defer_np",
    "pthread_cleanup_pop_restore_np",
    "sched_priority",
    "linux",
    "unix",
    "i386",
};

// Macros in capitals without an underscore, of <stddef.h>, <stdio.h>, <wchar.h>,
// <sys/wait.h>, <sys/select.h>, <limits.h> and <sched.h>.
constexpr std::string_view kCapitals[] = {
    "NULL",       "BUFSIZ",      "WEOF",        "NZERO",        "NFDBITS",
    "CSIGNAL",    "WNOHANG",     "WUNTRACED",   "WSTOPPED",     "WEXITED",
    "WCONTINUED", "WNOWAIT",     "WEXITSTATUS", "WTERMSIG",     "WSTOPSIG",
    "WIFEXITED",  "WIFSIGNALED", "WIFSTOPPED",  "WIFCONTINUED",
};

bool isCapital(char c) {
    return c >= 'A' && c <= 'Z';
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

template <size_t N>
bool among(const std::string_view (&names)[N], std::string_view name) {
    for (std::string_view taken : names) {
        if (taken == name) return true;
    }
    return false;
}

// Capitals and digits up to the first underscore, and one there.
bool capitalsBeforeUnderscore(std::string_view name) {
    size_t underscore = name.find('_');
    if (underscore == std::string_view::npos || underscore == 0) return false;
    for (size_t i = 0; i < underscore; ++i) {
        if (!isCapital(name[i]) && !isDigit(name[i])) return false;
    }
    return true;
}

}  // namespace

const char* macroClash(std::string_view name) {
    if (among(kLowercase, name) || among(kCapitals, name)) {
        return "is a macro of the C library, POSIX or the compilers";
    }
    if (name.size() >= 2 && name[0] == 'E' && (isCapital(name[1]) || isDigit(name[1]))) {
        return "is reserved for the C library's error numbers (E and a capital or digit)";
    }
    if (name.size() >= 4 && name.starts_with("SIG") && isCapital(name[3])) {
        return "is reserved for the C library's signals (SIG and a capital)";
    }
    if (capitalsBeforeUnderscore(name)) {
        return "is written as the macros of the C library and POSIX are (capitals before an "
               "underscore)";
    }
    return nullptr;
}

}  // namespace zorlek::idl
