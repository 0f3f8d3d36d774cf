// SPDX-License-Identifier: Apache-2.0
// The built zorlek program against a real registry and against none: standard output,
// standard error and exit status byte for byte, including the option parser's own
// diagnostic, which only the real process shows.

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "harness/harness.h"
#include "tests/support/usage_text.h"

namespace zorlek::test {
namespace {

const std::string kNoRegistry = "zorlek: Unable to get default service manager!\n";

struct Case {
    std::vector<std::string> args;
    std::string out;
    std::string err;
    int status;
};

std::vector<std::string> withProgram(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {binPath("zorlek")};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

void expectRun(const RunResult& got, const Case& c) {
    std::string label;
    for (const std::string& a : c.args) label += "[" + a + "]";
    EXPECT_FALSE(got.timedOut) << label;
    EXPECT_EQ(got.out, c.out) << label;
    EXPECT_EQ(got.err, c.err) << label;
    EXPECT_EQ(got.exitCode, c.status) << label;
}

TEST(DriverE2E, WithoutARegistryEveryRunIsStatus20) {
    TempDir dir;
    const Case cases[] = {
        {{}, "", kNoRegistry, 20},
        {{"-h"}, "", kNoRegistry, 20},
        {{"-x", "list"}, "", kNoRegistry, 20},
        {{"list"}, "", kNoRegistry, 20},
    };
    // A missing socket file, and a file that is no socket at all.
    std::string missing = dir.path() + "/absent/registry.sock";
    std::string plainFile = dir.path() + "/plain";
    FILE* f = fopen(plainFile.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    for (const std::string& path : {missing, plainFile}) {
        for (const Case& c : cases) {
            std::vector<std::string> argv = {binPath("zorlek")};
            argv.insert(argv.end(), c.args.begin(), c.args.end());
            expectRun(runProgram(argv, {"ZORLEK_REGISTRY=" + path}), c);
        }
    }
}

TEST(DriverE2E, HelpAndVersionNeedNoRegistryAndOptionsBeforeThemStillDo) {
    TempDir dir;
    EnvChanges nowhere = {"ZORLEK_REGISTRY=" + dir.path() + "/absent.sock"};
    const std::regex version(R"(zorlek [0-9]+\.[0-9]+\.[0-9]+ \(protocol [0-9]+\)\n)");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"version"}, {"--", "version"}}) {
        RunResult got = runProgram(withProgram(args), nowhere);
        EXPECT_TRUE(std::regex_match(got.out, version)) << got.out;
        EXPECT_EQ(got.err, "");
        EXPECT_EQ(got.exitCode, 0);
    }
    // A word after them is refused as for any command, still without the registry.
    RunResult extra = runProgram(withProgram({"version", "extra"}), nowhere);
    EXPECT_EQ(extra.out, kUsage);
    EXPECT_EQ(extra.err, "zorlek: Too many arguments for version: extra\n");
    EXPECT_EQ(extra.exitCode, 10);
    RunResult help = runProgram(withProgram({"help"}), nowhere);
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.err, "");
    // The usage text first, as -h prints it, then the commands and the environment.
    ASSERT_EQ(help.out.compare(0, std::string(kUsage).size(), kUsage), 0) << help.out;
    std::string rest = help.out.substr(std::string(kUsage).size());
    for (const char* line :
         {"Commands:\n   check SERVICE ", "\n   list ", "\n   call SERVICE CODE ",
          "\n   status [--json] SERVICE ", "\n   wait [--timeout SECONDS] [--gone] SERVICE...",
          "\n   help ", "\n   version ", "\nEnvironment:\n   ZORLEK_REGISTRY ",
          "\n   ZORLEK_CALL_TIMEOUT_MS ", "\n   ZORLEK_POLL "}) {
        EXPECT_NE(rest.find(line), std::string::npos) << line;
    }
    for (size_t start = 0, end; (end = help.out.find('\n', start)) != std::string::npos;
         start = end + 1) {
        EXPECT_LE(end - start, 80u) << help.out.substr(start, end - start);
    }
    // As before: an option makes the tool connect first, a command in another case is
    // unknown, and neither works without the registry.
    const Case cases[] = {
        {{"-h", "help"}, "", kNoRegistry, 20},
        {{"-x", "version"}, "", kNoRegistry, 20},
        {{"Help"}, "", kNoRegistry, 20},
    };
    for (const Case& c : cases) expectRun(runProgram(withProgram(c.args), nowhere), c);
}

TEST(DriverE2E, WithARegistryOptionsAndCommandWordsBehaveAsDocumented) {
    Registry registry;
    ASSERT_TRUE(registry.ready());
    const std::string program = binPath("zorlek");
    const Case cases[] = {
        {{}, kUsage, "", 0},
        {{"-h"}, kUsage, "", 0},
        {{"-?"}, kUsage, "", 0},
        {{"-x", "list"}, kUsage, program + ": invalid option -- 'x'\n", 0},
        {{"-h", "list"}, kUsage, "", 0},
        {{"List"}, kUsage, "zorlek: Unknown command List\n", 10},
        {{"--", "list"}, "Found 0 services:\n", "", 0},
        {{"list", "more", "words"}, "Found 0 services:\n", "", 0},
        {{"check"}, kUsage, "zorlek: No service specified for check\n", 10},
        {{"check", "nosuch", "extra"}, "Service nosuch: not found\n", "", 0},
    };
    for (const Case& c : cases) expectRun(registry.zorlek(c.args), c);
}

TEST(DriverE2E, OutputToAPipeIsCompleteAndOrdered) {
    Registry registry;
    ASSERT_TRUE(registry.ready());
    // Error line and usage text both arrive, on their own streams, whole.
    RunResult got = registry.zorlek({"Nope"});
    EXPECT_EQ(got.err, "zorlek: Unknown command Nope\n");
    EXPECT_EQ(got.out, kUsage);
    EXPECT_EQ(got.exitCode, 10);
}

TEST(DriverE2E, OutputThatCannotBeWrittenIsAFailureAndAClosedPipeIsNot) {
    Registry registry;
    ASSERT_TRUE(registry.ready());
    auto echo = registry.startEcho({"svc"});
    ASSERT_TRUE(echo);
    const std::string program = binPath("zorlek");
    const std::string full =
        "zorlek: Unable to write to standard output: No space left on device\n";
    // Each row: the shell around the tool, what standard error says, the status.
    const Case cases[] = {
        {{"exec " + program + " list > /dev/full"}, "", full, 10},
        {{"exec " + program + " check svc > /dev/full"}, "", full, 10},
        {{"exec " + program + " call svc 1 i32 7 > /dev/full"}, "", full, 10},
        {{"exec " + program + " -h > /dev/full"}, "", full, 10},
        // Already a failure: the output's failure is reported, the status kept.
        {{"exec " + program + " check > /dev/full"},
         "",
         "zorlek: No service specified for check\n" + full,
         10},
        // A reader that is gone before the tool writes (with SIGPIPE ignored, so that the
        // write itself fails): the tool says nothing and keeps its status. The shell writes
        // until a write fails, which tells that the reader is gone.
        {{"trap '' PIPE; { while printf x 2>/dev/null; do :; done; exec " + program +
          " list; } | true; exit ${PIPESTATUS[0]}"},
         "",
         "",
         0},
    };
    for (const Case& c : cases) {
        expectRun(runProgram({"/bin/bash", "-c", c.args[0]}, registry.env()), c);
    }
}

}  // namespace
}  // namespace zorlek::test
