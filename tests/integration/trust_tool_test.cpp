// SPDX-License-Identifier: Apache-2.0
// The tool against hosts of another user that attack whoever calls them: one that answers
// only serials no call waits for, and one that withholds its first reply and answers
// every other with 1 MiB. Each call ends within its bound, and a listing prints what
// asking one name at a time prints, within a bounded memory.

#include <cstdio>
#include <cstdlib>

#include "tests/integration/trust_support.h"

namespace zorlek::test {
namespace {

constexpr const char* kHostile = ZORLEK_HOSTILE_HOST;

struct TrustTool : Trust {
    std::unique_ptr<Process> host;

    // Starts zorlek-hostile-host as the attacker with `args`; false when it did not get
    // its names.
    bool startHost(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {kHostile};
        argv.insert(argv.end(), args.begin(), args.end());
        host = Process::start(asUser(kAttacker, argv), env());
        return host && host->waitForLine("ready", 20000);
    }
    RunResult tool(const std::vector<std::string>& args, int timeoutMs) {
        std::vector<std::string> argv = {binPath("zorlek")};
        argv.insert(argv.end(), args.begin(), args.end());
        EnvChanges changes = env();
        // Under the sanitizer 200 replies of 1 MiB take the tool over a second to copy: the
        // waits are what is bounded here, not the tool's speed.
        changes.push_back(kSanitized ? "ZORLEK_CALL_TIMEOUT_MS=3000"
                                     : "ZORLEK_CALL_TIMEOUT_MS=1000");
        return runProgram(argv, changes, timeoutMs);
    }
    // The tool's peak resident memory over one run of `args`, in kB; -1 when the run failed.
    long peakKb(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {binPath("../bench/peak_memory"), binPath("zorlek")};
        argv.insert(argv.end(), args.begin(), args.end());
        EnvChanges changes = env();
        changes.push_back("ZORLEK_CALL_TIMEOUT_MS=1000");
        // The sanitizers keep freed memory aside on purpose; here it is to be given back.
        if (kSanitized) {
            const char* given = std::getenv("ASAN_OPTIONS");
            changes.push_back("ASAN_OPTIONS=" + std::string(given != nullptr ? given : "") +
                              ":quarantine_size_mb=0:thread_local_quarantine_size_kb=0");
        }
        RunResult got = runProgram(argv, changes, 60000);
        long kb = -1;
        int status = -1;
        if (got.exitCode != 0 || std::sscanf(got.out.c_str(), "%ld %d", &kb, &status) != 2) {
            return -1;
        }
        return status == 0 ? kb : -1;
    }
};

// Replies to serials nobody waits for, one every 700 ms, against a call timeout of 1 s:
// each came before the wait ran out and used to start it anew, so `call` waited as long as
// the host went on.
TEST_F(TrustTool, RepliesNobodyWaitsForDoNotHoldTheTool) {
    ASSERT_TRUE(startRegistry({"--allow-any-user"}));
    ASSERT_TRUE(startHost({"stray", "stray", "1", "700"}));
    // A guard against a hang, ten times the bound.
    RunResult call = tool({"call", "stray.000", "1", "i32", "5"}, 10000);
    EXPECT_FALSE(call.timedOut) << "the call did not end";
    EXPECT_EQ(call.out, "");
    EXPECT_EQ(call.err, "zorlek: Unable to get the interface of stray.000: Connection timed out\n");
    EXPECT_EQ(call.exitCode, 10);
    RunResult list = tool({"list"}, 10000);
    EXPECT_FALSE(list.timedOut);
    EXPECT_EQ(list.out, "Found 1 services:\n0\tstray.000: []\n");
    EXPECT_EQ(list.exitCode, 0);
    RunResult check = tool({"check", "stray.000"}, 10000);
    EXPECT_EQ(check.out, "Service stray.000: found\n");
    EXPECT_EQ(check.exitCode, 0);
}

// 200 names of one host that withholds its first descriptor reply and answers every other
// with 1 MiB: the tool held 200 MB, every reply that came while it waited for the first.
// The listing is the one that asking one name at a time gives, and its memory stays within
// 16 MiB (and within 16 MiB of an empty listing's, which is what the sanitizers leave
// comparable).
TEST_F(TrustTool, AListingsMemoryIsBoundedWhateverItsHostSends) {
    constexpr long kBoundKb = 16 * 1024;
    ASSERT_TRUE(startRegistry({"--allow-any-user"}));
    long emptyKb = peakKb({"list"});
    ASSERT_GT(emptyKb, 0);
    constexpr int kNames = 200;
    ASSERT_TRUE(startHost({"withhold", "big", std::to_string(kNames), "1048576"}));
    std::string expected = "Found " + std::to_string(kNames) + " services:\n";
    for (int i = 0; i < kNames; ++i) {
        char line[64];
        std::snprintf(line, sizeof line, "%d\tbig.%03d: [%s]\n", i, i,
                      i == 0 ? "" : "hostile.IBig");
        expected += line;
    }
    RunResult list = tool({"list"}, 60000);
    EXPECT_FALSE(list.timedOut);
    EXPECT_EQ(list.out, expected);
    EXPECT_EQ(list.err, "");
    EXPECT_EQ(list.exitCode, 0);
    long hostileKb = peakKb({"list"});
    ASSERT_GT(hostileKb, 0);
    EXPECT_LE(hostileKb, emptyKb + kBoundKb);
    if (!kSanitized) {
        EXPECT_LE(hostileKb, kBoundKb);
    }
    std::printf("the tool's peak: %ld kB listing the hostile host, %ld kB listing nothing\n",
                hostileKb, emptyKb);
}

}  // namespace
}  // namespace zorlek::test
