// SPDX-License-Identifier: Apache-2.0
// The command table's rows as a user meets them, in-process: every command with too few
// and too many arguments, each of its options given well and wrongly, and an option out of
// place. The rows cover the table: a command or option added without rows here fails.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "driver/command_table.h"
#include "tests/commands/fakes.h"

namespace zorlek::test {
namespace {

struct Row {
    std::vector<std::string> args;
    std::string out;
    std::string err;
    int32_t status;
    // `out` is how the output begins rather than all of it (never empty then).
    bool begins = false;
};

std::string no(const char* what, const char* command) {
    return std::string("zorlek: No ") + what + " specified for " + command + "\n";
}

std::string tooMany(const char* command, const char* extra) {
    return std::string("zorlek: Too many arguments for ") + command + ": " + extra + "\n";
}

std::string unknown(const char* option, const char* command) {
    return std::string("zorlek: Unknown option ") + option + " of " + command + "\n";
}

const std::string kUnreadable =
    "zorlek: Unable to read /nonexistent/x.zi: No such file or directory\n";

const Row kRows[] = {
    {{"check"}, kUsage, no("service", "check"), 10},
    {{"check", "s", "extra", "--x"}, "Service s: found\n", "", 0},
    {{"check", "--x"}, "Service --x: not found\n", "", 0},
    {{"list", "extra"}, "Found 1 services:\n0\ts: [d.I]\n", "", 0},
    {{"call"}, kUsage, no("service", "call"), 10},
    {{"call", "s"}, kUsage, no("code", "call"), 10},
    {{"call", "s", "1", "i32", "-5"}, "Result: Parcel(", "", 0, true},
    {{"status"}, kUsage, no("service", "status"), 10},
    {{"status", "--json"}, kUsage, no("service", "status"), 10},
    {{"status", "s", "t"}, kUsage, tooMany("status", "t"), 10},
    {{"status", "s", "--json"}, kUsage, tooMany("status", "--json"), 10},
    {{"status", "--xml", "s"}, kUsage, unknown("--xml", "status"), 10},
    {{"status", "--json", "s"}, "{\"service\": \"s\", \"descriptor\": \"d.I\"", "", 0, true},
    {{"status", "s"}, "Service: s\nDescriptor: d.I\n", "", 0, true},
    {{"status", "--", "--json"}, "", "zorlek: Service --json is not registered\n", 10},
    {{"wait"}, kUsage, no("service", "wait"), 10},
    {{"wait", "--gone", "--"}, kUsage, no("service", "wait"), 10},
    {{"wait", "--timeout"}, kUsage, no("timeout", "--timeout of wait"), 10},
    {{"wait", "--timeout", "soon", "a"}, kUsage, "zorlek: invalid timeout: soon\n", 10},
    {{"wait", "--later", "a"}, kUsage, unknown("--later", "wait"), 10},
    {{"wait", "a", "--timeout", "1"},
     kUsage,
     "zorlek: Options of wait come before SERVICE: --timeout\n",
     10},
    {{"wait", "--gone", "a", "b", "-"},
     kUsage,
     "zorlek: Options of wait come before SERVICE: -\n",
     10},
    {{"describe"}, kUsage, no("service", "describe"), 10},
    {{"describe", "s", "t"}, kUsage, tooMany("describe", "t"), 10},
    {{"describe", "--interface"}, kUsage, no("file", "--interface of describe"), 10},
    {{"describe", "--raw", "s"}, kUsage, unknown("--raw", "describe"), 10},
    {{"describe", "--interface", "/nonexistent/x.zi", "s"}, "", kUnreadable, 10},
    {{"describe", "s"},
     "",
     "zorlek: Service s does not describe its interface (--interface FILE.zi gives one)\n",
     10},
    {{"invoke"}, kUsage, no("service", "invoke"), 10},
    {{"invoke", "--raw", "s"}, kUsage, no("method", "invoke"), 10},
    {{"invoke", "--interface"}, kUsage, no("file", "--interface of invoke"), 10},
    {{"invoke", "--count"}, kUsage, no("count", "--count of invoke"), 10},
    {{"invoke", "--count", "x", "s", "m"}, kUsage, "zorlek: invalid count: x\n", 10},
    {{"invoke", "--timeout", "-1", "s", "m"}, kUsage, "zorlek: invalid timeout: -1\n", 10},
    {{"invoke", "--json", "s", "m"}, kUsage, unknown("--json", "invoke"), 10},
    {{"invoke", "--raw", "--interface", "/nonexistent/x.zi", "s", "m", "-1"}, "", kUnreadable, 10},
    {{"monitor"}, kUsage, no("service", "monitor"), 10},
    {{"monitor", "--count"}, kUsage, no("count", "--count of monitor"), 10},
    {{"monitor", "--json", "--payload", "--wait", "--count", "0", "s"},
     kUsage,
     "zorlek: invalid count: 0\n",
     10},
    {{"monitor", "--snaplen", "65537", "s"}, kUsage, "zorlek: invalid snaplen: 65537\n", 10},
    {{"monitor", "--timeout", "-1", "s"}, kUsage, "zorlek: invalid timeout: -1\n", 10},
    {{"monitor", "--xml", "s"}, kUsage, unknown("--xml", "monitor"), 10},
    {{"monitor", "s", "--json"},
     kUsage,
     "zorlek: Options of monitor come before SERVICE: --json\n",
     10},
    // The fake registry grants no tap.
    {{"monitor", "--", "s"}, "", "zorlek: Unable to monitor s: Operation not supported\n", 10},
    {{"capture"}, kUsage, no("service", "capture"), 10},
    {{"capture", "--json", "s"}, kUsage, unknown("--json", "capture"), 10},
    {{"capture", "--snaplen", "1", "--count", "1", "--wait", "--timeout", "soon", "s"},
     kUsage,
     "zorlek: invalid timeout: soon\n",
     10},
    {{"help", "list"}, kUsage, tooMany("help", "list"), 10},
    {{"help"}, std::string(kUsage) + "Commands:\n", "", 0, true},
    {{"version", "-h"}, kUsage, tooMany("version", "-h"), 10},
    {{"version"}, "zorlek ", "", 0, true},
    {{"names", "s"}, kUsage, tooMany("names", "s"), 10},
    {{"names"}, "s\n", "", 0},
};

TEST(CommandLine, EveryCommandTakesTheArgumentsAndOptionsItsRowSays) {
    for (const Row& row : kRows) {
        std::string label;
        for (const std::string& a : row.args) label += "[" + a + "]";
        Journal journal;
        sp<FakeRegistry> registry(new FakeRegistry(&journal));
        registry->add("s", describedAs(u"d.I"));
        ServiceHolder holder;
        holder.pid = 0;
        holder.names.push_back(String16("s"));
        registry->holders.emplace_back("s", holder);
        Outcome got = runTool(registry, row.args);
        if (row.begins) {
            ASSERT_FALSE(row.out.empty()) << label;
            EXPECT_EQ(got.out.substr(0, row.out.size()), row.out) << label;
        } else {
            EXPECT_EQ(got.out, row.out) << label;
        }
        EXPECT_EQ(got.err, row.err) << label;
        EXPECT_EQ(got.status, row.status) << label;
        // A command line refused as such asks the registry nothing.
        if (row.out == kUsage) {
            EXPECT_TRUE(journal.events.empty()) << label;
        }
    }
}

TEST(CommandLine, TheRowsCoverEveryCommandAndOption) {
    std::set<std::string> given;
    for (const Row& row : kRows) {
        for (const std::string& a : row.args) given.insert(row.args[0] + " " + a);
    }
    for (const CommandInfo& command : commandTable()) {
        std::string word = command.word;
        EXPECT_TRUE(given.count(word + " " + word)) << word;
        for (const OptionInfo& option : command.options) {
            EXPECT_TRUE(given.count(word + " " + option.name)) << word << " " << option.name;
        }
    }
}

}  // namespace
}  // namespace zorlek::test
