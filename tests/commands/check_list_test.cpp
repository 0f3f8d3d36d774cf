// SPDX-License-Identifier: Apache-2.0
// check and list through the driver against an in-memory registry: whole outputs, exit
// statuses, and what was asked of the registry and the objects, in which order.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>

#include "commands/commands.h"
#include "tests/commands/fakes.h"

namespace zorlek::test {
namespace {

struct Row {
    std::vector<std::string> args;
    std::string out;
    std::string err;
    int32_t status;
    std::vector<std::string> events;
};

std::string label(const std::vector<std::string>& args) {
    std::string out;
    for (const std::string& a : args) out += "[" + a + "]";
    return out;
}

// A registry with: "a" (an object), "gone" (listed, lookup gives null), and names that
// only a lookup by their exact UTF-16 form finds.
sp<FakeRegistry> checkRegistry(Journal* journal) {
    sp<FakeRegistry> registry(new FakeRegistry(journal));
    registry->add("a", describedAs(u"x.IA"));
    registry->add("gone", std::nullopt);
    registry->add("caf\xC3\xA9", describedAs(u"x.IB"));
    registry->add(
        "a\xEF\xBF\xBD"
        "b",
        describedAs(u"x.IC"));
    return registry;
}

TEST(Check, EveryRow) {
    const std::string noName = "zorlek: No service specified for check\n";
    const Row rows[] = {
        {{"check"}, kUsage, noName, 10, {}},
        {{"check", "a"}, "Service a: found\n", "", 0, {"lookup a"}},
        {{"check", "nosuch"}, "Service nosuch: not found\n", "", 0, {"lookup (unlisted)"}},
        {{"check", "gone"}, "Service gone: not found\n", "", 0, {"lookup gone"}},
        {{"check", ""}, "Service : not found\n", "", 0, {"lookup (unlisted)"}},
        {{"check", "A"}, "Service A: not found\n", "", 0, {"lookup (unlisted)"}},
        {{"check", "a", "b", "-h", "list"}, "Service a: found\n", "", 0, {"lookup a"}},
        // The lookup uses the UTF-16 form; the echo is the bytes as typed.
        {{"check", "caf\xC3\xA9"}, "Service caf\xC3\xA9: found\n", "", 0, {"lookup caf\xC3\xA9"}},
        {{"check",
          "a\xFF"
          "b"},
         "Service a\xFF"
         "b: found\n",
         "",
         0,
         {"lookup a\xEF\xBF\xBD"
          "b"}},
    };
    for (const Row& row : rows) {
        Journal journal;
        Outcome got = runTool(checkRegistry(&journal), row.args);
        EXPECT_EQ(got.out, row.out) << label(row.args);
        EXPECT_EQ(got.err, row.err) << label(row.args);
        EXPECT_EQ(got.status, row.status) << label(row.args);
        EXPECT_EQ(journal.events, row.events) << label(row.args);
        EXPECT_TRUE(journal.sent.empty()) << label(row.args);
        EXPECT_EQ(journal.liveObjects, 0) << label(row.args);
    }
}

TEST(List, EmptyRegistryPrintsTheHeaderAlone) {
    Journal journal;
    Outcome got = runTool(sp<FakeRegistry>(new FakeRegistry(&journal)), {"list", "extra"});
    EXPECT_EQ(got.out, "Found 0 services:\n");
    EXPECT_EQ(got.err, "");
    EXPECT_EQ(got.status, 0);
    EXPECT_EQ(journal.listings, 1);
    EXPECT_TRUE(journal.events.empty());
}

TEST(List, EveryKindOfLine) {
    Journal journal;
    sp<FakeRegistry> registry(new FakeRegistry(&journal));
    ObjectScript refuses;
    refuses.queryStatus = -EBADRQC;
    refuses.queryReply = s16(u"zorlek.IEcho");
    ObjectScript hung;
    hung.queryStatus = -ETIMEDOUT;
    ObjectScript garbled;
    garbled.queryReply = i32(7);
    // Not sorted: the registry's order is kept.
    registry->add("zeta", describedAs(u"x.IZeta"));
    registry->add("alpha", std::nullopt);
    registry->add("refuses", refuses);
    registry->add("hung", hung);
    registry->add("garbled", garbled);
    registry->add("blank", describedAs(u""));
    registry->add("esc\x1B[2J", describedAs(u"evil\x1B]0;title\x07\x0A"));
    registry->add("caf\xC3\xA9", describedAs(u"x.\xD83D\xDE00\xD800"));
    registry->add("zeta2", describedAs(std::u16string(u"x\0y", 3)));
    Outcome got = runTool(registry, {"list"});
    EXPECT_EQ(got.out,
              "Found 9 services:\n"
              "0\tzeta: [x.IZeta]\n"
              "1\talpha: []\n"
              "2\trefuses: []\n"
              "3\thung: []\n"
              "4\tgarbled: []\n"
              "5\tblank: []\n"
              "6\tesc\\x1B[2J: [evil\\x1B]0;title\\x07\\x0A]\n"
              "7\tcaf\xC3\xA9: [x.\xF0\x9F\x98\x80\xEF\xBF\xBD]\n"
              "8\tzeta2: [xy]\n");
    EXPECT_EQ(got.err, "");
    EXPECT_EQ(got.status, 0);
    // The names fit one window: all looked up in order before the first line, then each
    // object asked once, at its line; nothing asked of "alpha".
    const std::vector<std::string> events = {
        "lookup zeta",
        "lookup alpha",
        "lookup refuses",
        "lookup hung",
        "lookup garbled",
        "lookup blank",
        "lookup esc\x1B[2J",
        "lookup caf\xC3\xA9",
        "lookup zeta2",
        "send zeta 5f4e5446",
        "send refuses 5f4e5446",
        "send hung 5f4e5446",
        "send garbled 5f4e5446",
        "send blank 5f4e5446",
        "send esc\x1B[2J 5f4e5446",
        "send caf\xC3\xA9 5f4e5446",
        "send zeta2 5f4e5446",
    };
    EXPECT_EQ(journal.events, events);
    for (const Sent& sent : journal.sent) {
        EXPECT_TRUE(sent.bytes.empty()) << sent.target;
        EXPECT_EQ(sent.flags, 0u) << sent.target;
    }
}

TEST(List, LookupsGoAheadEachQueryAfterItsLineStarts) {
    Journal journal;
    sp<FakeRegistry> registry(new FakeRegistry(&journal));
    std::vector<std::string> atLookup;
    std::vector<std::string> atQuery;
    std::vector<int> liveAtLookup;
    registry->onLookup = [&](const std::string&) {
        atLookup.push_back(outputSoFar());
        liveAtLookup.push_back(journal.liveObjects);
    };
    ObjectScript script = describedAs(u"d");
    script.onTransaction = [&](uint32_t) { atQuery.push_back(outputSoFar()); };
    registry->add("one", script);
    registry->add("none", std::nullopt);
    registry->add("two", script);
    Outcome got = runTool(registry, {"list"});
    const std::string header = "Found 3 services:\n";
    const std::string line0 = "0\tone: [d]\n";
    const std::string line1 = "1\tnone: []\n";
    EXPECT_EQ(got.out, header + line0 + line1 + "2\ttwo: [d]\n");
    EXPECT_EQ(atLookup, (std::vector<std::string>{header, header, header}));
    // A line is started before its descriptor is asked for, as a terminal shows it.
    EXPECT_EQ(atQuery, (std::vector<std::string>{header + "0\tone: [",
                                                 header + line0 + line1 + "2\ttwo: ["}));
    EXPECT_EQ(liveAtLookup, (std::vector<int>{0, 1, 1}));
    EXPECT_EQ(journal.liveObjects, 0);
}

TEST(List, AListingCutShortIsAnError) {
    const struct {
        status_t status;
        std::string why;
    } rows[] = {
        {-ETIMEDOUT, "the registry did not answer in time"},
        {-EPIPE, "the registry closed the connection"},
        {-EBADMSG, "the registry sent a malformed listing"},
        {-E2BIG, "the listing passed 1000000 names or 128 MiB"},
        {-ECONNREFUSED, "Connection refused"},
    };
    for (const auto& row : rows) {
        Journal journal;
        sp<FakeRegistry> registry(new FakeRegistry(&journal));
        registry->add("a", describedAs(u"x.IA"));
        registry->listFailure = row.status;
        Outcome got = runTool(registry, {"list"});
        EXPECT_EQ(got.out, "") << row.why;
        EXPECT_EQ(got.err, "zorlek: Unable to list services: " + row.why + "\n");
        EXPECT_EQ(got.status, 20) << row.why;
        EXPECT_TRUE(journal.events.empty()) << row.why;
    }
}

TEST(RegistryFailure, ALookupTheRegistryCannotAnswerIsAFailureNeverAbsence) {
    struct FailRow {
        std::vector<std::string> args;
        status_t failure;
        size_t failsAt;
        std::string out;
        std::string err;
        std::vector<std::string> events;
    };
    const FailRow rows[] = {
        {{"check", "a"},
         -ETIMEDOUT,
         0,
         "",
         "zorlek: Unable to look up a: the registry did not answer in time\n",
         {"lookup failed"}},
        {{"check", "nosuch"},
         -EPIPE,
         0,
         "",
         "zorlek: Unable to look up nosuch: the registry closed the connection\n",
         {"lookup failed"}},
        {{"call", "a", "1", "i32", "5"},
         -EBADMSG,
         0,
         "",
         "zorlek: Unable to look up a: the registry sent a malformed answer\n",
         {"lookup failed"}},
        {{"call", "caf\xC3\xA9", "1"},
         -ECONNREFUSED,
         0,
         "",
         "zorlek: Unable to look up caf\xC3\xA9: Connection refused\n",
         {"lookup failed"}},
        // The lines printed before the failure stay; the others never come.
        {{"list"},
         -ETIMEDOUT,
         2,
         "Found 4 services:\n0\ta: [x.IA]\n1\tb: []\n",
         "zorlek: Unable to list services: the registry did not answer in time\n",
         {"lookup a", "lookup b", "lookup failed", "send a 5f4e5446"}},
        {{"list"},
         -EBADMSG,
         0,
         "Found 4 services:\n",
         "zorlek: Unable to list services: the registry sent a malformed answer\n",
         {"lookup failed"}},
    };
    for (const FailRow& row : rows) {
        Journal journal;
        sp<FakeRegistry> registry(new FakeRegistry(&journal));
        registry->add("a", describedAs(u"x.IA"));
        registry->add("b", std::nullopt);
        registry->add("c", describedAs(u"x.IC"));
        registry->add("d", describedAs(u"x.ID"));
        registry->lookupFailure = row.failure;
        registry->lookupFailsAt = row.failsAt;
        Outcome got = runTool(registry, row.args);
        EXPECT_EQ(got.out, row.out) << label(row.args);
        EXPECT_EQ(got.err, row.err) << label(row.args);
        EXPECT_EQ(got.status, 20) << label(row.args);
        EXPECT_EQ(journal.events, row.events) << label(row.args);
        EXPECT_TRUE(journal.sent.empty() || row.args[0] == "list") << "nothing called";
        EXPECT_EQ(journal.liveObjects, 0) << label(row.args);
    }
}

TEST(List, ManyNamesCountAndIndexesWithinTheWindow) {
    Journal journal;
    sp<FakeRegistry> registry(new FakeRegistry(&journal));
    // The objects alive and the lines printed whenever a name is looked up: the lookups
    // run ahead of the printed lines by at most the window.
    int mostAlive = 0;
    size_t mostAhead = 0;
    size_t lookups = 0;
    registry->onLookup = [&](const std::string&) {
        mostAlive = std::max(mostAlive, journal.liveObjects);
        std::string out = outputSoFar();
        size_t printed = static_cast<size_t>(std::count(out.begin(), out.end(), '\n')) - 1;
        mostAhead = std::max(mostAhead, ++lookups - printed);
    };
    // More names than the window holds.
    const int count = static_cast<int>(kListWindow) + 1200;
    std::string expected = "Found " + std::to_string(count) + " services:\n";
    for (int i = 0; i < count; ++i) {
        std::string name = "s";
        name += std::to_string(i);
        // Every third name has no object; indexes still count it.
        if (i % 3 == 1) {
            registry->add(name, std::nullopt);
            expected += std::to_string(i) + "\t" + name + ": []\n";
        } else {
            registry->add(name, describedAs(u"d"));
            expected += std::to_string(i) + "\t" + name + ": [d]\n";
        }
    }
    Outcome got = runTool(registry, {"list"});
    EXPECT_EQ(got.out, expected);
    EXPECT_EQ(got.status, 0);
    EXPECT_EQ(journal.sent.size(), static_cast<size_t>(count - (count + 1) / 3));
    EXPECT_EQ(lookups, static_cast<size_t>(count));
    EXPECT_LE(mostAlive, static_cast<int>(kListWindow));
    EXPECT_GT(mostAlive, 1);
    EXPECT_EQ(mostAhead, kListWindow);
    EXPECT_EQ(journal.liveObjects, 0);
}

}  // namespace
}  // namespace zorlek::test
