// SPDX-License-Identifier: Apache-2.0
// `zorlek status` in-process against a registry that says who holds each name: the lines
// and the JSON object, what is left out when it cannot be known, escaping, and failures.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "commands/process_info.h"
#include "tests/commands/fakes.h"

namespace zorlek::test {
namespace {

// A holder whose process and accounts do not exist here, so that nothing of /proc or the
// user database shows; registered at 2026-12-09T08:51:02.5Z.
ServiceHolder ghost(std::vector<std::u16string> names) {
    ServiceHolder holder;
    holder.pid = 0;
    holder.uid = 4000000001u;
    holder.gid = 4000000002u;
    holder.sinceMs = 1796806262500;
    for (const std::u16string& name : names) holder.names.push_back(String16(name));
    return holder;
}

struct Case {
    const char* label;
    std::vector<std::string> args;
    std::optional<ObjectScript> object;  // what a lookup of the name finds
    status_t holderFailure;
    std::string out;
    std::string err;
    int32_t status;
    // `out` is a part of the output rather than all of it.
    bool part = false;
};

TEST(Status, ShowsWhatIsKnownEscapedAndFailsAsDocumented) {
    const std::string lines =
        "PID: 0\nUID: 4000000001\nGID: 4000000002\nSince: 2026-12-09T08:51:02Z\n";
    ObjectScript silent = describedAs(u"x");
    silent.queryStatus = -ETIMEDOUT;
    const Case cases[] = {
        {"registered",
         {"status", "greeter"},
         describedAs(u"demo.IGreeter"),
         OK,
         "Service: greeter\nDescriptor: demo.IGreeter\n" + lines + "Names: greeter, hello\n",
         "",
         0},
        {"the descriptor query fails: no such line",
         {"status", "greeter"},
         silent,
         OK,
         "Service: greeter\n" + lines + "Names: greeter, hello\n",
         "",
         0},
        {"json",
         {"status", "--json", "greeter"},
         describedAs(u"demo.IGreeter"),
         OK,
         "{\"service\": \"greeter\", \"descriptor\": \"demo.IGreeter\", \"pid\": 0, \"uid\": "
         "4000000001, \"user\": null, \"gid\": 4000000002, \"group\": null, \"command\": null, "
         "\"unit\": null, \"since\": \"2026-12-09T08:51:02Z\", \"names\": [\"greeter\", "
         "\"hello\"]}\n",
         "",
         0},
        {"json, descriptor unknown",
         {"status", "--json", "greeter"},
         silent,
         OK,
         ", \"descriptor\": null, ",
         "",
         0,
         true},
        {"not registered",
         {"status", "nosuch"},
         std::nullopt,
         OK,
         "",
         "zorlek: Service nosuch is not registered\n",
         10},
        {"a registry that cannot answer",
         {"status", "greeter"},
         std::nullopt,
         -EPIPE,
         "",
         "zorlek: Unable to look up greeter: the registry closed the connection\n",
         20},
        {"no service",
         {"status"},
         std::nullopt,
         OK,
         kUsage,
         "zorlek: No service specified for status\n",
         10},
        {"--json alone",
         {"status", "--json"},
         std::nullopt,
         OK,
         kUsage,
         "zorlek: No service specified for status\n",
         10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Journal journal;
        sp<FakeRegistry> registry(new FakeRegistry(&journal));
        registry->add("greeter", c.object);
        registry->holders.push_back({"greeter", ghost({u"greeter", u"hello"})});
        registry->holderFailure = c.holderFailure;
        Outcome got = runTool(registry, c.args);
        if (c.part) {
            EXPECT_NE(got.out.find(c.out), std::string::npos) << got.out;
        } else {
            EXPECT_EQ(got.out, c.out);
        }
        EXPECT_EQ(got.err, c.err);
        EXPECT_EQ(got.status, c.status);
        EXPECT_EQ(journal.liveObjects, 0);
    }
}

TEST(Status, UntrustedTextIsEscapedInLinesAndExactInJson) {
    Journal journal;
    sp<FakeRegistry> registry(new FakeRegistry(&journal));
    registry->add("a\x1b[31m", describedAs(u"d\u202Eevil\"q\\"));
    registry->holders.push_back({"a\x1b[31m", ghost({u"a\x1b[31m", u"lone\xD800"})});
    Outcome text = runTool(registry, {"status", "a\x1b[31m"});
    EXPECT_EQ(text.out.substr(0, text.out.find("PID")),
              "Service: a\\x1B[31m\nDescriptor: d\\u202Eevil\"q\\\n");
    EXPECT_NE(text.out.find("\nNames: a\\x1B[31m, lone\xEF\xBF\xBD\n"), std::string::npos)
        << text.out;
    Outcome json = runTool(registry, {"status", "--json", "a\x1b[31m"});
    EXPECT_NE(json.out.find("\"service\": \"a\\u001b[31m\", \"descriptor\": "
                            "\"d\\u202eevil\\\"q\\\\\""),
              std::string::npos)
        << json.out;
    EXPECT_NE(json.out.find("\"names\": [\"a\\u001b[31m\", \"lone\\ud800\"]}"), std::string::npos)
        << json.out;
}

TEST(Status, ShowsTheCommandLineAndUnitOfALiveProcessAndItsAccounts) {
    Journal journal;
    sp<FakeRegistry> registry(new FakeRegistry(&journal));
    registry->add("me", describedAs(u"d"));
    ServiceHolder holder = ghost({u"me"});
    holder.pid = static_cast<int32_t>(::getpid());
    holder.uid = 0;
    holder.gid = 0;
    registry->holders.push_back({"me", holder});
    Outcome got = runTool(registry, {"status", "me"});
    EXPECT_NE(got.out.find("\nUID: 0 (root)\nGID: 0 (root)\nCommand: "), std::string::npos)
        << got.out;
    // This test program's own command line, as the kernel keeps it.
    EXPECT_NE(got.out.find("commands_tests"), std::string::npos) << got.out;
}

// Account files as /etc/passwd and /etc/group write them, and as they may be cut or bent.
TEST(Status, AccountNamesAreReadFromWholeLinesByTheirThirdField) {
    const char* passwd =
        "root:x:0:0:root:/root:/bin/bash\n"
        "daemon:x:1:1:daemon:/usr/sbin:/usr/sbin/nologin\n"
        "\n"
        "broken line\n"
        ":x:7:7::/:/bin/sh\n"
        "+::::::\n"
        "ten:x:10:0:1:/:\n"
        "dup:x:10:0::/:\n"
        "gid-not-uid:x:100:42::/:\n"
        "cut:x:4242";
    const struct {
        uint32_t id;
        const char* name;
    } cases[] = {
        {0, "root"},
        {1, "daemon"},
        {10, "ten"},  // the first of two lines with one id
        {100, "gid-not-uid"},
        {42, ""},    // a group id, the fourth field, is not the user's
        {7, ""},     // an entry without a name is none
        {4242, ""},  // a line without its end is no entry: the file was read in part
        {2, ""},
        {4294967295u, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(accountNameIn(passwd, c.id), c.name) << c.id;
    }
    EXPECT_EQ(accountNameIn("", 0), "");
    EXPECT_EQ(accountNameIn("wheel:x:10:alice,bob\n", 10), "wheel");
    EXPECT_EQ(accountNameIn("a:x:01:\n", 1), "");  // written otherwise than the kernel's id
}

TEST(Status, TimesAreWrittenInUtcAcrossTheCalendar) {
    const std::pair<int64_t, const char*> cases[] = {
        {0, "1970-01-01T00:00:00Z"},
        {999, "1970-01-01T00:00:00Z"},
        {-1, "1969-12-31T23:59:59Z"},
        {951782400000, "2000-02-29T00:00:00Z"},
        {1796806262500, "2026-12-09T08:51:02Z"},
        {4107542399000, "2100-02-28T23:59:59Z"},
        {4107542400000, "2100-03-01T00:00:00Z"},
        {253402300799000, "9999-12-31T23:59:59Z"},
        {-62167219200000, "0000-01-01T00:00:00Z"},
        // A time no date of four digits writes is the nearest that one does.
        {253402300800000, "9999-12-31T23:59:59Z"},
        {INT64_MAX, "9999-12-31T23:59:59Z"},
        {INT64_MIN, "0000-01-01T00:00:00Z"},
    };
    for (const auto& [ms, text] : cases) EXPECT_EQ(std::string(utcTime(ms).c_str()), text) << ms;
}

// Cgroup files as the kernel writes them, and as a hostile holder may name its units.
TEST(Status, TheUnitIsTheLastOnTheCgroupPathAndAUsersUnitSaysWhose) {
    const std::pair<const char*, const char*> cases[] = {
        {"0::/system.slice/zorlek-echo.service\n", "zorlek-echo.service"},
        {"0::/user.slice/user-1000.slice/session-3.scope\n", "session-3.scope"},
        {"0::/user.slice/user-65534.slice/user@65534.service/app.slice/sshd.service\n",
         "sshd.service (user 65534)"},
        {"0::/user.slice/user-0.slice/user@0.service/init.scope\n", "init.scope (user 0)"},
        // The user's manager itself, with no unit below it, names none of the user's.
        {"0::/user.slice/user-7.slice/user@7.service\n", ""},
        // A unit that only looks like a user's manager is a unit like any other.
        {"0::/system.slice/user@x.service/a.service\n", "a.service"},
        {"0::/system.slice/user@.service\n", "user@.service"},
        {"0::/system.slice/user@12.service.d/a.service\n", "a.service"},
        // A unit named like a user's manager below a unit is no user's.
        {"0::/system.slice/a.service/user@5.service\n", "user@5.service"},
        // A hybrid hierarchy: systemd's own line, where the unified one is empty.
        {"12:cpu:/x\n1:name=systemd:/system.slice/cron.service\n0::/\n", "cron.service"},
        {"0::/\n", ""},
        {"0::/init.scope", "init.scope"},
        {"", ""},
        {"garbage without a path", ""},
        {"0::/a.service/.service\n", "a.service"},
        {"1:name=systemd:/a.service\n0::/b.service\n", "b.service"},
    };
    for (const auto& [text, unit] : cases) {
        EXPECT_EQ(std::string(unitInCgroups(text).c_str()), unit) << text;
    }
}

}  // namespace
}  // namespace zorlek::test
