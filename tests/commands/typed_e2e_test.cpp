// SPDX-License-Identifier: Apache-2.0
// The built zorlek against a real registry and real services: invoke round-trips every
// type through the test service, refuses malformed values before anything reaches it,
// reports a malformed reply; describe shows what the service describes; the sample service
// answers as the README says; and services that describe nothing are called through a
// description in a file.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "harness/harness.h"

namespace zorlek::test {
namespace {

void expectRun(const RunResult& got, const std::string& out, const std::string& err, int status,
               const std::string& what) {
    EXPECT_FALSE(got.timedOut) << what;
    EXPECT_EQ(got.out, out) << what;
    EXPECT_EQ(got.err, err) << what;
    EXPECT_EQ(got.exitCode, status) << what;
}

// A typed service program started against `registry` under `name`, once ready.
std::unique_ptr<Process> startService(const Registry& registry, const std::string& program,
                                      const std::vector<std::string>& names) {
    std::vector<std::string> argv = {binPath(program)};
    argv.insert(argv.end(), names.begin(), names.end());
    std::unique_ptr<Process> process = Process::start(argv, registry.env());
    if (process && !process->waitForLine("ready")) process.reset();
    return process;
}

const char kEveryType[] = "../tests/zorlek-every-type";

struct Row {
    std::vector<std::string> args;
    std::string out;
    std::string err;
    int status;
};

void expectInvocations(const Registry& registry, const std::vector<Row>& rows) {
    for (const Row& row : rows) {
        std::vector<std::string> args = {"invoke"};
        args.insert(args.end(), row.args.begin(), row.args.end());
        std::string what;
        for (const std::string& a : args) what += " " + a;
        expectRun(registry.zorlek(args), row.out, row.err, row.status, what);
    }
}

TEST(TypedE2E, InvokeRoundTripsEveryType) {
    Registry registry;
    ASSERT_TRUE(registry.ready());
    auto service = startService(registry, kEveryType, {"every"});
    ASSERT_TRUE(service);
    const std::string everything =
        "{\"number\": -2147483648, \"big\": 9223372036854775807, \"flag\": true, "
        "\"text\": \"caf\xC3\xA9 \\ud800 \\u202e \\u001b\", \"maybe\": null, \"data\": \"00ff\", "
        "\"numbers\": [1, -1], \"bigs\": [-9223372036854775808], \"flags\": [false], "
        "\"texts\": [\"\", \"\\\"q\\\"\"], \"maybes\": [null, \"m\"], \"blobs\": [\"\", \"0102\"], "
        "\"point\": {\"x\": 3, \"y\": -4}, \"points\": [{\"x\": 0, \"y\": 0}], "
        "\"grid\": [[], [1, 2]]}";
    expectInvocations(
        registry,
        {
            {{"every", "echoI32", "-2147483648"}, "{\"echoed\": -2147483648}\n", "", 0},
            {{"every", "echoI32", "v=0x7fffffff"}, "{\"echoed\": 2147483647}\n", "", 0},
            {{"every", "echoI64", "-9223372036854775808"},
             "{\"echoed\": -9223372036854775808}\n",
             "",
             0},
            {{"every", "echoI64", "0x7FFFFFFFFFFFFFFF"},
             "{\"echoed\": 9223372036854775807}\n",
             "",
             0},
            {{"every", "echoBool", "true"}, "{\"echoed\": true}\n", "", 0},
            {{"every", "echoBool", "false"}, "{\"echoed\": false}\n", "", 0},
            {{"every", "echoS16", ""}, "{\"echoed\": \"\"}\n", "", 0},
            {{"every", "echoS16", "caf\xC3\xA9 \xF0\x9F\x98\x80"},
             "{\"echoed\": \"caf\xC3\xA9 \xF0\x9F\x98\x80\"}\n",
             "",
             0},
            // A value that holds '=' is given by name.
            {{"every", "echoS16", "v=\x1B[2J\t\"v=\\"},
             "{\"echoed\": \"\\u001b[2J\\t\\\"v=\\\\\"}\n",
             "",
             0},
            {{"every", "echoNullable", "null"}, "{\"echoed\": null}\n", "", 0},
            {{"every", "echoNullable", "v=x"}, "{\"echoed\": \"x\"}\n", "", 0},
            {{"every", "echoBytes", ""}, "{\"echoed\": \"\"}\n", "", 0},
            {{"every", "echoBytes", "00FF10"}, "{\"echoed\": \"00ff10\"}\n", "", 0},
            {{"every", "echoEverything", everything}, "{\"echoed\": " + everything + "}\n", "", 0},
            {{"every", "reverse", "c=[{\"y\": 2, \"x\": 1}]", "b=two", "1"},
             "{\"z\": [{\"x\": 1, \"y\": 2}], \"y\": \"two\", \"x\": 1}\n",
             "",
             0},
            {{"every", "notify", "one way"}, "{}\n", "", 0},
            {{"every", "nothing"}, "{}\n", "", 0},
            {{"every", "fail", "0"}, "{}\n", "", 0},
            {{"every", "fail", "-22"},
             "",
             "zorlek: Transaction failed with status -22 (Invalid argument)\n",
             10},
            {{"every", "fail", "7"}, "", "zorlek: Transaction failed with status 7\n", 10},
            {{"every", "broken"},
             "",
             "zorlek: Service every sent a malformed reply to broken: at text (s16)\n",
             10},
            {{"--raw", "every", "echoI32", "7"},
             "Result: Parcel(4 bytes)\n  00000000: 00000007" + std::string(29, ' ') + "....\n",
             "",
             0},
            {{"--raw", "every", "broken"},
             "Result: Parcel(8 bytes)\n  00000000: 000003e8 00000041" + std::string(20, ' ') +
                 "....A...\n",
             "",
             0},
        });
}

TEST(TypedE2E, MalformedValuesNeverReachTheService) {
    Registry registry;
    ASSERT_TRUE(registry.ready());
    auto service = startService(registry, kEveryType, {"every"});
    ASSERT_TRUE(service);
    expectInvocations(registry, {{{"every", "calls"}, "{\"count\": 0}\n", "", 0}});
    expectInvocations(
        registry,
        {
            {{"every", "echoI32", "2147483648"},
             "",
             "zorlek: Invalid value for argument 'v' (i32): out of range\n",
             10},
            {{"every", "echoI64", "1.5"},
             "",
             "zorlek: Invalid value for argument 'v' (i64): not an integer\n",
             10},
            {{"every", "echoBool", "yes"},
             "",
             "zorlek: Invalid value for argument 'v' (bool): expected true or false\n",
             10},
            {{"every", "echoBytes", "0"},
             "",
             "zorlek: Invalid value for argument 'v' (bytes): an odd number of hex digits\n",
             10},
            {{"every", "echoEverything", "{\"number\": 1}"},
             "",
             "zorlek: Invalid value for argument 'v' (Everything): at v.big: missing\n",
             10},
            {{"every", "reverse", "1", "x"},
             "",
             "zorlek: No value for argument 'c' (Point[]) of reverse\n",
             10},
            {{"every", "reverse", "1", "x", "[", "4"},
             "",
             "zorlek: Too many arguments for reverse: 4\n",
             10},
            {{"every", "echoI32"}, "", "zorlek: No value for argument 'v' (i32) of echoI32\n", 10},
            {{"every", "echoi32", "1"},
             "",
             "zorlek: Interface test.IEveryType has no method echoi32\n",
             10},
        });
    // Only the first count reached the service.
    expectInvocations(registry, {{{"every", "calls"}, "{\"count\": 1}\n", "", 0}});
}

TEST(TypedE2E, DescribeShowsTheDescriptionTheServiceGives) {
    Registry registry;
    ASSERT_TRUE(registry.ready());
    auto service = startService(registry, kEveryType, {"every"});
    auto echo = registry.startEcho({"echo"});
    ASSERT_TRUE(service && echo);
    RunResult described = registry.zorlek({"describe", "every"});
    EXPECT_EQ(described.exitCode, 0);
    EXPECT_EQ(described.err, "");
    EXPECT_EQ(described.out.rfind(
                  "/// A service for tests: each method answers its arguments back.\n"
                  "interface test.IEveryType;\n\n/// A point on a grid.\nrecord Point {\n",
                  0),
              0u)
        << described.out;
    EXPECT_NE(described.out.find("\nmethod nothing() = 256;\n"), std::string::npos);
    // The same description, read from its file: plain comments left out, one text.
    std::string file = std::string(ZORLEK_SOURCE_DIR) + "/tests/idl/every_type.zi";
    expectRun(registry.zorlek({"describe", "--interface", file, "every"}), described.out, "", 0,
              "from the file");
    // zorlek-echo describes no interface, and answers the query as such an object does.
    expectRun(registry.zorlek({"describe", "echo"}), "",
              "zorlek: Service echo does not describe its interface (--interface FILE.zi gives "
              "one)\n",
              10, "echo");
    expectRun(registry.zorlek({"describe", "nosuch"}), "",
              "zorlek: Service nosuch does not exist\n", 10, "nosuch");
}

TEST(TypedE2E, TheSampleAnswersAsTheReadmeSays) {
    Registry registry;
    ASSERT_TRUE(registry.ready());
    auto adder = startService(registry, "../samples/zorlek-sample-adder", {});
    ASSERT_TRUE(adder);
    expectRun(registry.zorlek({"invoke", "sample.adder", "add", "a=2", "b=40"}), "{\"sum\": 42}\n",
              "", 0, "invoke");
    expectRun(registry.zorlek({"call", "sample.adder", "1", "i32", "2", "i32", "40"}),
              "Result: Parcel(4 bytes)\n  00000000: 0000002a" + std::string(29, ' ') + "*...\n", "",
              0, "call");
    expectRun(
        registry.zorlek({"invoke", "sample.adder", "add", "2147483647", "1"}), "",
        "zorlek: Transaction failed with status -75 (Value too large for defined data type)\n", 10,
        "overflow");
    expectRun(registry.zorlek({"describe", "sample.adder"}),
              "/// Adds numbers.\ninterface sample.IAdder;\n\n"
              "/// The sum of a and b; fails with -EOVERFLOW past 32 bits.\n"
              "method add(a: i32, b: i32) -> (sum: i32) = 1;\n",
              "", 0, "describe");
}

TEST(TypedE2E, ServicesThatDescribeNothingAreCalledThroughAFile) {
    Registry registry;
    ASSERT_TRUE(registry.ready());
    auto echo = registry.startEcho({"echo"});
    auto other = registry.startEcho({"--descriptor", "x.IOther", "other"});
    auto hung = registry.startEcho({"--hang", "hung"});
    ASSERT_TRUE(echo && other && hung);
    TempDir dir;
    std::string file = dir.path() + "/echo.zi";
    // zorlek-echo answers the code, then the request: the token, then the arguments.
    std::string text =
        "interface zorlek.IEcho;\n"
        "method m(a: i32, s: s16) -> (code: i32, token: s16, a2: i32, s2: s16) = 7;\n"
        "method n() -> (big: i64, s: s16) = 8;\n";
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ::close(fd);
    expectInvocations(
        registry,
        {
            {{"--interface", file, "echo", "m", "5", "s=x"},
             "{\"code\": 7, \"token\": \"zorlek.IEcho\", \"a2\": 5, \"s2\": \"x\"}\n",
             "",
             0},
            // Read as the file says, the echo is malformed where the token's text is read
            // as a length.
            {{"--interface", file, "echo", "n"},
             "",
             "zorlek: Service echo sent a malformed reply to n: at s (s16)\n",
             10},
            {{"--interface", file, "other", "n"},
             "",
             "zorlek: Service other implements x.IOther, not zorlek.IEcho\n",
             10},
            {{"echo", "m"},
             "",
             "zorlek: Service echo does not describe its interface (--interface FILE.zi gives "
             "one)\n",
             10},
        });
    // A service that never answers costs one bounded wait, and is not called missing.
    expectRun(registry.zorlek({"invoke", "hung", "m"}, {"ZORLEK_CALL_TIMEOUT_MS=300"}), "",
              "zorlek: Unable to get the interface of hung: Connection timed out\n", 10, "hung");
}

}  // namespace
}  // namespace zorlek::test
