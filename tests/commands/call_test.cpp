// SPDX-License-Identifier: Apache-2.0
// call through the driver against an in-memory registry: whole outputs, exit statuses,
// and exactly what was sent (or that nothing was), for every row of its failure table.

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>

#include "tests/commands/fakes.h"

namespace zorlek::test {
namespace {

const Bytes kToken = s16(u"x.IEcho");
const std::string kResult42 =
    "Result: Parcel(4 bytes)\n  00000000: 0000002a" + std::string(29, ' ') + "*...\n";
const std::string kEmptyResult = "Result: Parcel(0 bytes)\n";

ObjectScript answering(status_t status, Bytes reply) {
    ObjectScript script = describedAs(u"x.IEcho");
    script.callStatus = status;
    script.callReply = std::move(reply);
    return script;
}

sp<FakeRegistry> callRegistry(Journal* journal) {
    sp<FakeRegistry> registry(new FakeRegistry(journal));
    registry->add("echo", answering(OK, i32(42)));
    registry->add("mirror", describedAs(u"x.IEcho"));
    registry->add("gone", std::nullopt);
    // Services whose descriptor query fails, each with a reply the tool must not read.
    const struct {
        const char* name;
        status_t status;
    } failing[] = {
        {"nodesc", -EBADRQC},           {"silent", -ETIMEDOUT}, {"closed", -EPIPE},
        {"malformed", -EBADMSG},        {"refusing", 3},        {"lowest", INT32_MIN},
        {"t\xC3\xA9l\x1B", -ETIMEDOUT},
    };
    for (const auto& f : failing) {
        ObjectScript script;
        script.queryStatus = f.status;
        script.queryReply = s16(u"zorlek.IEcho");
        registry->add(f.name, script);
    }
    registry->add("blank", describedAs(u""));
    ObjectScript garbled;
    garbled.queryReply = i32(7);
    registry->add("garbled", garbled);
    registry->add("invalid", answering(-EINVAL, {}));
    registry->add("timeout", answering(-ETIMEDOUT, {}));
    registry->add("broken", answering(-EPIPE, i32(42)));
    registry->add("unhandled", answering(-EBADRQC, {}));
    registry->add("positive", answering(5, {}));
    registry->add("minimum", answering(INT32_MIN, {}));
    return registry;
}

struct Row {
    std::vector<std::string> args;
    std::string out;
    std::string err;
    int32_t status;
    // Lookups and transactions, in order.
    std::vector<std::string> events;
    // The user's transaction, when one is sent.
    std::optional<Sent> sent;
};

std::string label(const std::vector<std::string>& args) {
    std::string out;
    for (const std::string& a : args) out.append("[").append(a, 0, 40).append("]");
    return out;
}

void expectRows(const std::vector<Row>& rows) {
    for (const Row& row : rows) {
        Journal journal;
        std::vector<std::string> args = {"call"};
        args.insert(args.end(), row.args.begin(), row.args.end());
        Outcome got = runTool(callRegistry(&journal), args);
        EXPECT_EQ(got.out, row.out) << label(row.args);
        EXPECT_EQ(got.err, row.err) << label(row.args);
        EXPECT_EQ(got.status, row.status) << label(row.args);
        EXPECT_EQ(journal.events, row.events) << label(row.args);
        if (row.sent) {
            ASSERT_EQ(journal.sent.size(), 2u) << label(row.args);
            EXPECT_EQ(journal.sent[1], *row.sent)
                << label(row.args) << "\n got: " << hex(journal.sent[1].bytes)
                << "\nwant: " << hex(row.sent->bytes);
        } else {
            EXPECT_LE(journal.sent.size(), 1u) << label(row.args);
        }
        EXPECT_EQ(journal.liveObjects, 0) << label(row.args);
    }
}

const std::vector<std::string> kQueried = {"lookup echo", "send echo 5f4e5446"};

std::vector<std::string> sentTo(const std::string& name, const std::string& code) {
    return {"lookup " + name, "send " + name + " 5f4e5446", "send " + name + " " + code};
}

Sent toEcho(uint32_t code, Bytes items) {
    return {"echo", code, cat({kToken, items}), 0};
}

TEST(Call, TypedArgumentsAreWrittenInOrder) {
    const std::string hiDump =
        "Result: Parcel(40 bytes)\n"
        "  00000000: 00000003 00000007 002e0078 00450049  ........x...I.E.\n"
        "  00000010: 00680063 0000006f 00000007 00000002  c.h.o...........\n"
        "  00000020: 00690068 00000000                    h.i.....\n";
    expectRows({
        {{"echo", "3"}, kResult42, "", 0, sentTo("echo", "3"), toEcho(3, {})},
        {{"mirror", "3", "i32", "7", "s16", "hi"},
         hiDump,
         "",
         0,
         sentTo("mirror", "3"),
         Sent{"mirror", 3, cat({kToken, i32(7), s16(u"hi")}), 0}},
        {{"echo", "2", "null", "null"},
         kResult42,
         "",
         0,
         sentTo("echo", "2"),
         toEcho(2, cat({nullRef(), nullRef()}))},
        {{"echo", "1", "i32", "-5"},
         kResult42,
         "",
         0,
         sentTo("echo", "1"),
         toEcho(1, i32(static_cast<uint32_t>(-5)))},
        {{"echo", "1", "i32", "12abc", "i32", "0x10", "i32", " +8"},
         kResult42,
         "",
         0,
         sentTo("echo", "1"),
         toEcho(1, cat({i32(12), i32(0), i32(8)}))},
        {{"echo", "1", "i32", "4294967295", "i32", "-2147483648", "i32", "2147483648"},
         kResult42,
         "",
         0,
         sentTo("echo", "1"),
         toEcho(1, cat({i32(0xFFFFFFFF), i32(0x80000000), i32(0x80000000)}))},
        {{"echo", "1", "s16", ""}, kResult42, "", 0, sentTo("echo", "1"), toEcho(1, s16(u""))},
        {{"echo", "1", "s16", "caf\xC3\xA9", "s16",
          "a\xFF"
          "b",
          "s16", "\xF0\x9F\x98\x80"},
         kResult42,
         "",
         0,
         sentTo("echo", "1"),
         toEcho(1, cat({s16(u"caf\xE9"),
                        s16(u"a\xFFFD"
                            u"b"),
                        s16(u"\xD83D\xDE00")}))},
        {{"echo", "1", "s16", "i32", "i32", "s16"},
         kResult42,
         "",
         0,
         sentTo("echo", "1"),
         toEcho(1, cat({s16(u"i32"), i32(0)}))},
        {{"echo", "1", "null", "i32", "9", "s16", "x", "null"},
         kResult42,
         "",
         0,
         sentTo("echo", "1"),
         toEcho(1, cat({nullRef(), i32(9), s16(u"x"), nullRef()}))},
    });
}

TEST(Call, CodeIsReadAsAtoiAndSentAsItsBitPattern) {
    expectRows({
        {{"echo", "seven"}, kResult42, "", 0, sentTo("echo", "0"), toEcho(0, {})},
        {{"echo", "-1"}, kResult42, "", 0, sentTo("echo", "ffffffff"), toEcho(0xFFFFFFFF, {})},
        {{"echo", "4294967295"},
         kResult42,
         "",
         0,
         sentTo("echo", "ffffffff"),
         toEcho(0xFFFFFFFF, {})},
        {{"echo", "-2147483648"},
         kResult42,
         "",
         0,
         sentTo("echo", "80000000"),
         toEcho(0x80000000, {})},
        {{"echo", " 16x"}, kResult42, "", 0, sentTo("echo", "10"), toEcho(16, {})},
        // The query code typed by hand is sent like any other, token and all.
        {{"echo", "1598968902"},
         "Result: Parcel(20 bytes)\n"
         "  00000000: 00000007 002e0078 00450049 00680063  ....x...I.E.c.h.\n"
         "  00000010: 0000006f                             o...\n",
         "",
         0,
         sentTo("echo", "5f4e5446"),
         toEcho(0x5F4E5446, {})},
    });
}

TEST(Call, CommandLineErrorsCancelTheCall) {
    const std::string noService = "zorlek: No service specified for call\n";
    const std::string noCode = "zorlek: No code specified for call\n";
    const std::string noInt = "zorlek: no integer supplied for 'i32'\n";
    const std::string noStr = "zorlek: no string supplied for 's16'\n";
    expectRows({
        {{}, kUsage, noService, 10, {}, {}},
        {{"echo"}, kUsage, noCode, 10, {}, {}},
        // A wrong code is refused before the lookup: nothing is asked of anyone.
        {{"echo", "4294967296"}, kUsage, "zorlek: Code out of range: 4294967296\n", 10, {}, {}},
        {{"echo", "-2147483649"}, kUsage, "zorlek: Code out of range: -2147483649\n", 10, {}, {}},
        {{"gone", " 99999999999999999999x", "I32"},
         kUsage,
         "zorlek: Code out of range:  99999999999999999999x\n",
         10,
         {},
         {}},
        // Argument errors: the lookup and the query happen, the transaction does not.
        {{"echo", "1", "i32"}, kUsage, noInt, 10, kQueried, {}},
        {{"echo", "1", "s16"}, kUsage, noStr, 10, kQueried, {}},
        {{"echo", "1", "i32", "5", "s16"}, kUsage, noStr, 10, kQueried, {}},
        {{"echo", "1", "I32", "5"}, kUsage, "zorlek: unknown option I32\n", 10, kQueried, {}},
        {{"echo", "1", "null", "-h"}, kUsage, "zorlek: unknown option -h\n", 10, kQueried, {}},
        {{"echo", "1", ""}, kUsage, "zorlek: unknown option \n", 10, kQueried, {}},
        {{"echo", "1", "i32", "4294967296"},
         kUsage,
         "zorlek: integer out of range for 'i32': 4294967296\n",
         10,
         kQueried,
         {}},
        {{"echo", "1", "i32", "-2147483649"},
         kUsage,
         "zorlek: integer out of range for 'i32': -2147483649\n",
         10,
         kQueried,
         {}},
        {{"echo", "1", "i32", "1", "i32", " 123456789012345678901234567890"},
         kUsage,
         "zorlek: integer out of range for 'i32':  123456789012345678901234567890\n",
         10,
         kQueried,
         {}},
        // The first error is the one reported.
        {{"echo", "1", "bogus", "i32", "99999999999"},
         kUsage,
         "zorlek: unknown option bogus\n",
         10,
         kQueried,
         {}},
    });
}

TEST(Call, AServiceThatDoesNotExistIsTheOnlyReport) {
    const std::string gone = "zorlek: Service gone does not exist\n";
    expectRows({
        {{"nosuch", "1"},
         "",
         "zorlek: Service nosuch does not exist\n",
         10,
         {"lookup (unlisted)"},
         {}},
        {{"gone", "1"}, "", gone, 10, {"lookup gone"}, {}},
        {{"gone", "1", "I32", "i32"}, "", gone, 10, {"lookup gone"}, {}},
        {{"gone", "1", "i32", "99999999999"}, "", gone, 10, {"lookup gone"}, {}},
        // A query that succeeds with no descriptor, or one that does not read as one.
        {{"blank", "1"},
         "",
         "zorlek: Service blank does not exist\n",
         10,
         {"lookup blank", "send blank 5f4e5446"},
         {}},
        {{"garbled", "1", "i32"},
         "",
         "zorlek: Service garbled does not exist\n",
         10,
         {"lookup garbled", "send garbled 5f4e5446"},
         {}},
        {{"caf\xC3\xA9\x1B", "1"},
         "",
         "zorlek: Service caf\xC3\xA9\x1B does not exist\n",
         10,
         {"lookup (unlisted)"},
         {}},
    });
}

TEST(Call, AnInterfaceQueryThatFailsIsReportedAsSuchAndNothingIsSent) {
    auto queried = [](const std::string& name) {
        return std::vector<std::string>{"lookup " + name, "send " + name + " 5f4e5446"};
    };
    const std::string prefix = "zorlek: Unable to get the interface of ";
    expectRows({
        {{"nodesc", "1", "i32", "5"},
         "",
         prefix + "nodesc: Invalid request code\n",
         10,
         queried("nodesc"),
         {}},
        {{"silent", "1"}, "", prefix + "silent: Connection timed out\n", 10, queried("silent"), {}},
        {{"closed", "1"}, "", prefix + "closed: Broken pipe\n", 10, queried("closed"), {}},
        {{"malformed", "1"}, "", prefix + "malformed: Bad message\n", 10, queried("malformed"), {}},
        {{"refusing", "1"}, "", prefix + "refusing: status 3\n", 10, queried("refusing"), {}},
        {{"lowest", "1"},
         "",
         prefix + "lowest: Unknown error 2147483648\n",
         10,
         queried("lowest"),
         {}},
        // The name as typed, byte for byte; an argument error after it is not reached.
        {{"t\xC3\xA9l\x1B", "1", "I32"},
         "",
         prefix + "t\xC3\xA9l\x1B: Connection timed out\n",
         10,
         queried("t\xC3\xA9l\x1B"),
         {}},
    });
}

TEST(Call, AFailedTransactionIsReportedAfterTheResult) {
    expectRows({
        {{"invalid", "5"},
         kEmptyResult,
         "zorlek: Transaction failed with status -22 (Invalid argument)\n",
         10,
         sentTo("invalid", "5"),
         Sent{"invalid", 5, kToken, 0}},
        {{"timeout", "5"},
         kEmptyResult,
         "zorlek: Transaction failed with status -110 (Connection timed out)\n",
         10,
         sentTo("timeout", "5"),
         Sent{"timeout", 5, kToken, 0}},
        {{"unhandled", "5"},
         kEmptyResult,
         "zorlek: Transaction failed with status -56 (Invalid request code)\n",
         10,
         sentTo("unhandled", "5"),
         Sent{"unhandled", 5, kToken, 0}},
        // Whatever the reply holds is still shown.
        {{"broken", "5"},
         kResult42,
         "zorlek: Transaction failed with status -32 (Broken pipe)\n",
         10,
         sentTo("broken", "5"),
         Sent{"broken", 5, kToken, 0}},
        {{"positive", "5"},
         kEmptyResult,
         "zorlek: Transaction failed with status 5\n",
         10,
         sentTo("positive", "5"),
         Sent{"positive", 5, kToken, 0}},
        {{"minimum", "5"},
         kEmptyResult,
         "zorlek: Transaction failed with status -2147483648 (Unknown error 2147483648)\n",
         10,
         sentTo("minimum", "5"),
         Sent{"minimum", 5, kToken, 0}},
    });
}

TEST(Call, ARequestTooLargeToBuildIsNeverSent) {
    // Two strings of 300000 units pass the 1 MiB limit; the small items after them
    // would fit again but must not be written past the gap.
    const std::string big(300000, 'a');
    expectRows({
        {{"echo", "1", "s16", big, "s16", big, "i32", "5", "null"},
         kEmptyResult,
         "zorlek: Transaction failed with status -90 (Message too long)\n",
         10,
         kQueried,
         {}},
        // An argument error still wins: the command line is wrong whatever its size.
        {{"echo", "1", "s16", big, "s16", big, "nope"},
         kUsage,
         "zorlek: unknown option nope\n",
         10,
         kQueried,
         {}},
    });
    // Just under the limit the request is sent whole.
    const std::string fits(500000, 'b');
    Journal journal;
    Outcome got = runTool(callRegistry(&journal), {"call", "echo", "1", "s16", fits});
    EXPECT_EQ(got.status, 0);
    EXPECT_EQ(got.err, "");
    ASSERT_EQ(journal.sent.size(), 2u);
    EXPECT_EQ(journal.sent[1].bytes.size(), kToken.size() + 4 + 1000004);
}

}  // namespace
}  // namespace zorlek::test
