// SPDX-License-Identifier: Apache-2.0
// `zorlek monitor` in-process against a registry that grants taps: the test plays the host
// on the other end of each tap, writing its records before the run. What is shown, what is
// left out, how a run ends (count, timeout, the host gone, a host that sends nonsense), the
// drops reported, and each refusal with its line and status.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "tests/commands/fakes.h"
#include "tests/commands/monitor_scene.h"

namespace zorlek::test {
namespace {

// 17:02:11.483920 UTC.
constexpr uint64_t kTime = 1796835731483920;

struct Row {
    std::vector<std::string> args;
    // The host's side of each tap, written before the run: messages, then whether it
    // closes its end.
    Bytes sent;
    bool hostCloses = false;
    std::string out;
    std::string err;
    int32_t status;
    // What the registry answers the request for a tap.
    status_t grant = OK;
};

const std::string kAdd = "17:02:11.483920 pid 4242 uid 1000 -> s add (1) ok 8 B -> 4 B 12 us\n";
const std::string kCode9 = "17:02:11.483920 pid 4242 uid 1000 -> s 9 ok 8 B -> 4 B 12 us\n";

TEST(Monitor, ShowsTheCallsOfTheServiceAndEndsAsAsked) {
    UtcZone utc;
    Bytes add = recordMessage(sampleRecord(kTime, 1));
    Bytes nine = recordMessage(sampleRecord(kTime, 9));
    CallRecord other = sampleRecord(kTime, 1);
    other.handle = 2;  // another object of the same host
    Bytes otherObject = recordMessage(other);
    // A call back the host made to an object of pid 4242, which the host numbers 9.
    CallRecord back = sampleRecord(kTime, 3);
    back.direction = CALL_BACK;
    back.handle = 9;
    CallRecord oneway = sampleRecord(kTime, 2);
    oneway.flags = FLAG_ONEWAY;
    oneway.replySize = 0;
    oneway.replySnapSize = 0;
    const Row rows[] = {
        {{"monitor", "--count", "2", "s"}, cat({add, nine, add}), false, kAdd + kCode9, "", 0},
        {{"monitor", "--count", "1", "s"}, cat({otherObject, nine}), false, kCode9, "", 0},
        {{"monitor", "--count", "2", "s"},
         cat({recordMessage(back), recordMessage(oneway)}),
         false,
         "17:02:11.483920 pid 4242 uid 1000 <- s 3 ok 8 B -> 4 B 12 us\n"
         "17:02:11.483920 pid 4242 uid 1000 -> s ping (2) ok 8 B oneway 12 us\n",
         "",
         0},
        {{"monitor", "s"}, add, true, kAdd, "zorlek: s is gone\n", 10},
        {{"monitor", "--timeout", "0.05", "s"}, add, false, kAdd, "", 0},
        {{"monitor", "--count", "1", "s"},
         cat({dropMessage(7), add}),
         false,
         kAdd,
         "zorlek: 7 calls not shown\n",
         0},
        // A message a newer host may send is passed over; one out of place is not.
        {{"monitor", "--count", "1", "s"}, cat({message(200, i32(1)), add}), false, kAdd, "", 0},
        {{"monitor", "s"},
         cat({add, message(MSG_TRANSACT, {})}),
         false,
         kAdd,
         "zorlek: s sent a malformed call record\n",
         10},
        {{"monitor", "s"},
         cat({message(MSG_CALL_RECORD, i32(1))}),
         false,
         "",
         "zorlek: s sent a malformed call record\n",
         10},
        {{"monitor", "s"},
         {},
         false,
         "",
         "zorlek: Unable to monitor s: Permission denied\n",
         10,
         -EPERM},
        {{"monitor", "s"}, {}, false, "", "zorlek: Service s does not exist\n", 10, -ENOENT},
        {{"monitor", "s"},
         {},
         false,
         "",
         "zorlek: Unable to monitor s: Operation not supported\n",
         10,
         -EOPNOTSUPP},
        {{"monitor", "s"},
         {},
         false,
         "",
         "zorlek: Unable to monitor s: the registry closed the connection\n",
         20,
         -EPIPE},
        {{"monitor", "t"}, {}, false, "", "zorlek: Service t does not exist\n", 10},
    };
    for (const Row& row : rows) {
        std::string label;
        for (const std::string& a : row.args) label += "[" + a + "]";
        MonitorScene scene;
        scene.grant = row.grant;
        scene.sent["s"] = row.sent;
        scene.hostCloses = row.hostCloses;
        Outcome got = scene.run(row.args);
        EXPECT_EQ(got.out, row.out) << label;
        EXPECT_EQ(got.err, row.err) << label;
        EXPECT_EQ(got.status, row.status) << label;
    }
}

TEST(Monitor, TheServiceIsShownAsListShowsIt) {
    MonitorScene scene;
    scene.sent["x\\x1B[31my"] = recordMessage(sampleRecord(kTime, 1));
    Outcome got = scene.run({"monitor", "--count", "1", "x\x1b[31my"});
    EXPECT_EQ(got.out, "17:02:11.483920 pid 4242 uid 1000 -> x\\x1B[31my 1 ok 8 B -> 4 B 12 us\n");
    EXPECT_EQ(got.status, 0) << got.err;
}

TEST(Monitor, AsksForPayloadsOnlyWhenShown) {
    struct Case {
        std::vector<std::string> args;
        std::string asked;
    } cases[] = {
        {{"monitor", "--timeout", "0", "s"}, "monitor s 0"},
        {{"monitor", "--snaplen", "9", "--timeout", "0", "s"}, "monitor s 0"},
        {{"monitor", "--payload", "--timeout", "0", "s"}, "monitor s 256"},
        {{"monitor", "--payload", "--snaplen", "65536", "--timeout", "0", "s"}, "monitor s 65536"},
        {{"capture", "--timeout", "0", "s"}, "monitor s 256"},
    };
    for (const Case& c : cases) {
        MonitorScene scene;
        Outcome got = scene.runToFile(c.args);
        EXPECT_EQ(got.status, 0) << got.err;
        EXPECT_EQ(scene.journal.events.back(), c.asked);
    }
}

TEST(Monitor, JsonWithPayloadsCutAtTheSnapLength) {
    MonitorScene scene;
    scene.sent["s"] = recordMessage(sampleRecord(kTime, 1));
    Outcome got =
        scene.run({"monitor", "--json", "--payload", "--snaplen", "3", "--count", "1", "s"});
    EXPECT_EQ(got.out,
              R"({"time": "2026-12-09T17:02:11.483920Z", "pid": 4242, "uid": 1000, "gid": 100, )"
              R"("service": "s", "code": 1, "method": "add", "oneway": false, "call_back": false, )"
              R"("status": 0, "request_size": 8, "reply_size": 4, "duration_us": 12, )"
              R"("request": "010203", "reply": "abcdef"})"
              "\n");
    EXPECT_EQ(got.err, "");
}

TEST(Monitor, EveryServiceOnItsOwnTap) {
    UtcZone utc;
    MonitorScene scene;
    scene.sent["s"] = recordMessage(sampleRecord(kTime, 1));
    scene.sent["u"] = recordMessage(sampleRecord(kTime, 9));
    scene.hostCloses = true;
    Outcome got = scene.run({"monitor", "s", "u"});
    // Each tap is read as it is ready: both lines, in either order, and both gone.
    EXPECT_NE(got.out.find(kAdd), std::string::npos) << got.out;
    EXPECT_NE(got.out.find("-> u 9 ok"), std::string::npos) << got.out;
    EXPECT_NE(got.err.find("zorlek: s is gone\n"), std::string::npos) << got.err;
    EXPECT_NE(got.err.find("zorlek: u is gone\n"), std::string::npos) << got.err;
    EXPECT_EQ(got.status, 10);
}

TEST(Monitor, CaptureRefusesATerminalAndTooManyServices) {
    MonitorScene scene;
    std::vector<std::string> many = {"monitor"};
    for (int i = 0; i < 65; ++i) many.push_back("s");
    Outcome got = scene.run(many);
    EXPECT_EQ(got.err, "zorlek: Too many services to monitor at once (at most 64)\n");
    EXPECT_EQ(got.status, 10);
    EXPECT_TRUE(scene.journal.events.empty());
    got = scene.runOnTerminal({"capture", "s"});
    EXPECT_EQ(got.err,
              "zorlek: Not writing a capture to a terminal: redirect standard output to a file\n");
    EXPECT_EQ(got.status, 10);
    EXPECT_TRUE(scene.journal.events.empty());
}

}  // namespace
}  // namespace zorlek::test
