// SPDX-License-Identifier: Apache-2.0
// zorlek-idl: writes the C++ header of an interface description.
//
//   zorlek-idl [-o OUTPUT] FILE.zi
//
// Writes to OUTPUT (replaced whole, never left half written) or to standard output.
// Errors in the description are "FILE:LINE: WHY" lines on standard error, as a compiler
// writes them, and exit status 1; a wrong command line, status 2.
#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "idl/cpp_names.h"
#include "idl/generator.h"
#include "idl/parser.h"
#include "idl/printer.h"
#include "idl/source_file.h"
#include "platform/text.h"

namespace zorlek::idl {
namespace {

constexpr const char kUsage[] =
    "Usage: zorlek-idl [-o OUTPUT] FILE.zi\n"
    "       zorlek-idl -h|--help|--version\n"
    "Writes the C++ header of the interfaces that FILE.zi describes (for each, a client\n"
    "proxy and a service base class) to OUTPUT, or to standard output.\n";

bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return false;
        done += static_cast<size_t>(wrote);
    }
    return true;
}

// Writes `text` to a file beside `path`, then renames it into place, so that a build
// never sees half a header.
int writeFile(const char* path, const std::string& text) {
    std::string temporary = std::string(path) + ".tmp";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return errno;
    bool written = writeAll(fd, text);
    int error = written ? 0 : errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && ::rename(temporary.c_str(), path) != 0) error = errno;
    if (error != 0) ::unlink(temporary.c_str());
    return error;
}

int run(int argc, char** argv) {
    const char* output = nullptr;
    static const struct option kLong[] = {
        {"help", no_argument, nullptr, 'h'}, {"version", no_argument, nullptr, 'V'}, {}};
    int option;
    while ((option = getopt_long(argc, argv, "+ho:", kLong, nullptr)) != -1) {
        if (option == 'o') {
            output = optarg;
        } else if (option == 'V') {
            aout << "zorlek-idl " << ZORLEK_VERSION << endl;
            return 0;
        } else {
            (option == 'h' ? aout : aerr) << kUsage;
            return option == 'h' ? 0 : 2;
        }
    }
    if (optind + 1 != argc) {
        aerr << kUsage;
        return 2;
    }
    const char* source = argv[optind];
    std::u16string text;
    status_t status = readSourceFile(source, &text);
    if (status != OK) {
        aerr << "zorlek-idl: cannot read " << source << ": " << std::strerror(-status) << endl;
        return 1;
    }
    ParseError error;
    std::optional<Description> description = parseDescription(text, &error);
    std::optional<NameClash> clash;
    if (description) clash = findNameClash(*description);
    if (!description || clash) {
        uint32_t line = description ? clash->line : error.line;
        aerr << source << ":" << line << ": " << (description ? clash->why : error.why) << endl;
        return 1;
    }
    // The description travels as one string in one parcel (each object's the same size).
    if (4 + (printDescription(*description).size() + 1) * 2 > kMaxParcelSize) {
        aerr << source << ":1: the description is too large to travel in one parcel (1 MiB)"
             << endl;
        return 1;
    }
    std::string header = generateHeader(*description, source);
    if (output == nullptr) {
        aout.write(header.data(), header.size());
        return aout.flush() == 0 ? 0 : 1;
    }
    int failed = writeFile(output, header);
    if (failed != 0) {
        aerr << "zorlek-idl: cannot write " << output << ": " << std::strerror(failed) << endl;
        return 1;
    }
    return 0;
}

}  // namespace
}  // namespace zorlek::idl

int main(int argc, char** argv) {
    return zorlek::idl::run(argc, argv);
}
