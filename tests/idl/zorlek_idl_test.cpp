// SPDX-License-Identifier: Apache-2.0
// zorlek-idl as a build runs it: errors as FILE:LINE: WHY with status 1, names C++ cannot
// take refused with their line, a wrong command line with status 2, and an output file
// that is replaced whole or left as it was.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "harness/harness.h"
#include "platform/ipc.h"

namespace zorlek::test {
namespace {

void writeFile(const std::string& path, const std::string& text) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ::close(fd);
}

std::string readFile(const std::string& path) {
    std::string text;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "(none)";
    char chunk[4096];
    ssize_t got;
    while ((got = ::read(fd, chunk, sizeof chunk)) > 0)
        text.append(chunk, static_cast<size_t>(got));
    ::close(fd);
    return text;
}

RunResult idl(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {binPath("zorlek-idl")};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProgram(argv);
}

TEST(ZorlekIdl, ErrorsAreFileLineWhy) {
    const std::string kMacro = " is a macro of the C library, POSIX or the compilers";
    const std::string kErrno =
        " is reserved for the C library's error numbers (E and a capital or digit)";
    const std::string kCapitals =
        " is written as the macros of the C library and POSIX are (capitals before an "
        "underscore)";
    TempDir dir;
    const std::string file = dir.path() + "/x.zi";
    const std::string head = "interface a.IThing;\n";
    struct Row {
        std::string text;
        std::string err;
    } rows[] = {
        {head + "\nmethod m(a: i33) = 1;\n",
         ":3: unknown type 'i33' (a record is declared before its use)"},
        {"interface new.IThing;", ":1: 'new' in the interface's name is a word C++ takes"},
        {head + "record Proxy { a: i32; }",
         ":2: 'Proxy' is a word C++ or the generated code takes"},
        {head + "record R { a: i32; }\nrecord S {\n  R: R; }",
         ":4: 'R' names a record, and C++ cannot name a field so too"},
        {head + "\n\nmethod descriptor() = 1;",
         ":4: 'descriptor' is a word C++ or the generated code takes"},
        {head + "method Service() = 1;", ":2: 'Service' is a word C++ or the generated code takes"},
        {head + "method m(int: i32) = 1;", ":2: 'int' is a word C++ or the generated code takes"},
        {head + "method m(std: i32) = 1;", ":2: 'std' is a word C++ or the generated code takes"},
        {head + "method m() -> (Proxy: a.IThing) = 1;",
         ":2: 'Proxy' is a word C++ or the generated code takes"},
        {head + "method m(Service: i32) = 1;",
         ":2: 'Service' is a word C++ or the generated code takes"},
        {head + "method m(a: i32) ->\n (a: s16) = 1;",
         ":3: 'a' names both an argument and a reply field, which C++ cannot tell apart"},
        // Names the preprocessor would replace before C++ sees them.
        {head + "record R {\n linux: i32; }", ":3: 'linux'" + kMacro},
        {head + "record unix { a: i32; }", ":2: 'unix'" + kMacro},
        {head + "\nmethod errno() = 1;", ":3: 'errno'" + kMacro},
        {head + "method m(EBADMSG: i32) = 1;", ":2: 'EBADMSG'" + kErrno},
        {head + "method m() -> (NULL: s16) = 1;", ":2: 'NULL'" + kMacro},
        {head + "record R { INT32_MAX: i32; }", ":2: 'INT32_MAX'" + kCapitals},
        {head + "record R { a: i32; }\nmethod m(r: R, stdout: i32) = 1;", ":3: 'stdout'" + kMacro},
        {head + "method offsetof() = 1;", ":2: 'offsetof'" + kMacro},
        {head + "method m(E2BIG: i32) = 1;", ":2: 'E2BIG'" + kErrno},
        {head + "method m(SIGINT: i32) = 1;",
         ":2: 'SIGINT' is reserved for the C library's signals (SIG and a capital)"},
        {head + "method m(X_OK: i32) = 1;", ":2: 'X_OK'" + kCapitals},
        {head + "method m(SYS_read: i32) = 1;", ":2: 'SYS_read'" + kCapitals},
        {head + "method m(WNOHANG: i32) = 1;", ":2: 'WNOHANG'" + kMacro},
        {"interface linux.IThing;", ":1: 'linux' in the interface's name" + kMacro},
        {"interface a.EPERM;", ":1: 'EPERM' in the interface's name" + kErrno},
        // Several interfaces: each is checked, and one whose namespace lies in another's
        // cannot take a name that one's namespace holds.
        {head + "method m() = 1;\n\ninterface b.IOther;\nmethod n(int: i32) = 1;",
         ":5: 'int' is a word C++ or the generated code takes"},
        {head + "\n/// doc\ninterface a.linux;", ":4: 'linux' in the interface's name" + kMacro},
        {head + "record R { a: i32; }\ninterface a.IThing.R.IMore;",
         ":3: 'R' in the interface's name is taken in interface a.IThing"},
        {"interface a.IThing.Proxy;\n" + head,
         ":1: 'Proxy' in the interface's name is taken in interface a.IThing"},
        {head + "interface a.IThing.kDescription;",
         ":2: 'kDescription' in the interface's name is taken in interface a.IThing"},
    };
    for (const Row& row : rows) {
        writeFile(file, row.text);
        RunResult got = idl({file});
        EXPECT_EQ(got.err, file + row.err + "\n") << row.text;
        EXPECT_EQ(got.out, "") << row.text;
        EXPECT_EQ(got.exitCode, 1) << row.text;
    }
}

TEST(ZorlekIdl, TheOutputIsReplacedWholeOrLeftAsItWas) {
    TempDir dir;
    const std::string file = dir.path() + "/x.zi", output = dir.path() + "/x.zi.h";
    writeFile(file, "interface a.IThing;\nmethod m() = 1;\n");
    RunResult printed = idl({file});
    EXPECT_EQ(printed.exitCode, 0);
    EXPECT_NE(printed.out.find("namespace a::IThing {"), std::string::npos);
    EXPECT_EQ(idl({"-o", output, file}).exitCode, 0);
    EXPECT_EQ(readFile(output), printed.out);
    writeFile(file, "interface a.IThing;\nmethod m( = 1;\n");
    EXPECT_EQ(idl({"-o", output, file}).exitCode, 1);
    EXPECT_EQ(readFile(output), printed.out) << "a wrong description left the header alone";
    EXPECT_EQ(readFile(output + ".tmp"), "(none)");
    RunResult unwritable = idl({"-o", dir.path() + "/no/such/folder.h", dir.path() + "/x.zi"});
    EXPECT_EQ(unwritable.exitCode, 1);
}

TEST(ZorlekIdl, NamesCloseToMacrosAreTaken) {
    TempDir dir;
    const std::string file = dir.path() + "/x.zi";
    writeFile(file,
              "interface a.IThing;\nrecord Event { error: i32; signal: i32; Entry: i32; E: i32; }\n"
              "method m(maxSize: i32, Int32_max: i32, Sig: i32, sigint: i32, linux2: i32, "
              "null: i32, Eof_x: Event) = 1;\n"
              // Interfaces inside a.IThing's namespace, named as nothing there is.
              "interface a.IThing.Event2;\ninterface a.IThing.readItems.Event;\n");
    RunResult got = idl({file});
    EXPECT_EQ(got.err, "");
    EXPECT_EQ(got.exitCode, 0);
}

TEST(ZorlekIdl, ThePathOfTheSourceNeverBecomesCode) {
    TempDir dir;
    // A path may hold any byte but '/' and NUL: its line breaks must not end the comment.
    const std::string file = dir.path() + "/x\nint injected = 42;\n\\.zi";
    writeFile(file, "interface a.IThing;\nmethod m() = 1;\n");
    RunResult got = idl({file});
    EXPECT_EQ(got.exitCode, 0) << got.err;
    EXPECT_EQ(got.out.substr(0, got.out.find('\n')),
              "// Generated by zorlek-idl from x\\x0Aint injected = 42;\\x0A\\x5C.zi: change that "
              "file, not this one.");
    EXPECT_EQ(got.out.find("\nint injected"), std::string::npos);
}

TEST(ZorlekIdl, CommandLinesAndFilesThatCannotBeRead) {
    TempDir dir;
    const std::string usage =
        "Usage: zorlek-idl [-o OUTPUT] FILE.zi\n"
        "       zorlek-idl -h|--help|--version\n"
        "Writes the C++ header of the interfaces that FILE.zi describes (for each, a client\n"
        "proxy and a service base class) to OUTPUT, or to standard output.\n";
    for (const char* asked : {"-h", "--help"}) {
        RunResult help = idl({asked});
        EXPECT_EQ(help.out, usage) << asked;
        EXPECT_EQ(help.err, "") << asked;
        EXPECT_EQ(help.exitCode, 0) << asked;
    }
    RunResult version = idl({"--version"});
    EXPECT_EQ(version.out.rfind("zorlek-idl ", 0), 0u) << version.out;
    EXPECT_EQ(version.out.find('\n'), version.out.size() - 1) << version.out;
    EXPECT_EQ(version.exitCode, 0);
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {}, {"a.zi", "b.zi"}, {"-x", "a.zi"}, {"-o"}, {"--helpful"}, {"--version=1"}}) {
        RunResult got = idl(args);
        EXPECT_EQ(got.exitCode, 2) << args.size();
        EXPECT_NE(got.err.find(usage), std::string::npos) << args.size();
    }
    RunResult missing = idl({dir.path() + "/none.zi"});
    EXPECT_EQ(missing.err,
              "zorlek-idl: cannot read " + dir.path() + "/none.zi: No such file or directory\n");
    EXPECT_EQ(missing.exitCode, 1);
    // A description as large as a parcel reads, but could not travel in one.
    const std::string big = dir.path() + "/big.zi";
    writeFile(big, "interface a.IThing;\n///" + std::string(600000, 'x') + "\nmethod m() = 1;\n");
    RunResult tooLarge = idl({big});
    EXPECT_EQ(tooLarge.err,
              big + ":1: the description is too large to travel in one parcel (1 MiB)\n");
    EXPECT_EQ(tooLarge.exitCode, 1);
    writeFile(big, std::string(kMaxParcelSize + 1, ' '));
    EXPECT_EQ(idl({big}).err, "zorlek-idl: cannot read " + big + ": File too large\n");
}

}  // namespace
}  // namespace zorlek::test
