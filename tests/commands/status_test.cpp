// SPDX-License-Identifier: Apache-2.0
// `zorlek status` in-process against a registry that says who holds each name: the lines
// and the JSON object, what is left out when it cannot be known, escaping, and failures.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <optional>

#include <string>
#include <vector>

#include "commands/holder_process.h"
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
        "PID: 0 (not seen here)\nUID: 4000000001\nGID: 4000000002\nSince: 2026-12-09T08:51:02Z\n";
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
         "{\"service\": \"greeter\", \"descriptor\": \"demo.IGreeter\", \"pid\": 0, \"process\": "
         "\"elsewhere\", \"uid\": "
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

// A socket this process listens on, as the registry's (ZORLEK_REGISTRY) while it lives:
// the registry then numbers processes as this test does.
class ListeningHere {
  public:
    ListeningHere() {
        path_ = "/tmp/zorlek-status-" + std::to_string(::getpid()) + ".sock";
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path_.c_str());
        ::unlink(path_.c_str());
        listening_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                     ::listen(fd_, 8) == 0;
        const char* before = ::getenv("ZORLEK_REGISTRY");
        if (before != nullptr) before_ = before;
        ::setenv("ZORLEK_REGISTRY", path_.c_str(), 1);
    }
    ~ListeningHere() {
        if (before_) {
            ::setenv("ZORLEK_REGISTRY", before_->c_str(), 1);
        } else {
            ::unsetenv("ZORLEK_REGISTRY");
        }
        ::close(fd_);
        ::unlink(path_.c_str());
    }
    bool listening() const { return listening_; }

  private:
    std::string path_;
    int fd_ = -1;
    bool listening_ = false;
    std::optional<std::string> before_;
};

int64_t nowMs() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

// The command line and unit are shown only for the very process that registered: not for
// one that took its pid since (started after the registration, or another user's), not
// for a pid no process has, and not when the registry numbers processes otherwise.
TEST(Status, ShowsTheCommandLineAndUnitOfTheHoldersOwnProcessOnly) {
    ListeningHere registrySocket;
    ASSERT_TRUE(registrySocket.listening());
    pid_t reaped = ::fork();
    if (reaped == 0) ::_exit(0);
    ASSERT_GT(reaped, 0);
    ASSERT_EQ(::waitpid(reaped, nullptr, 0), reaped);
    const struct {
        const char* label;
        int32_t pid;
        uint32_t uid;
        int64_t sinceMs;
        const char* pidLine;
    } cases[] = {
        {"this process, registered now", ::getpid(), ::geteuid(), nowMs(), "PID: %d\n"},
        {"a process started after the registration", ::getpid(), ::geteuid(), 1000,
         "PID: %d (gone)\n"},
        {"another user's process", ::getpid(), ::geteuid() + 1, nowMs(), "PID: %d (gone)\n"},
        {"a process that has ended", reaped, ::geteuid(), nowMs(), "PID: %d (gone)\n"},
        {"pid 0, not known to the registry", 0, ::geteuid(), nowMs(), "PID: %d (not seen here)\n"},
    };
    for (const auto& c : cases) {
        Journal journal;
        sp<FakeRegistry> registry(new FakeRegistry(&journal));
        registry->add("me", describedAs(u"d"));
        ServiceHolder holder = ghost({u"me"});
        holder.pid = c.pid;
        holder.uid = c.uid;
        holder.gid = 0;
        holder.sinceMs = c.sinceMs;
        registry->holders.push_back({"me", holder});
        Outcome got = runTool(registry, {"status", "me"});
        char pidLine[64];
        std::snprintf(pidLine, sizeof pidLine, c.pidLine, c.pid);
        EXPECT_NE(got.out.find(pidLine), std::string::npos) << c.label << "\n" << got.out;
        bool here = c.pid == ::getpid() && c.sinceMs != 1000 && c.uid == ::geteuid();
        // This test program's own command line, as the kernel keeps it.
        EXPECT_EQ(got.out.find("commands_tests") != std::string::npos, here) << c.label << got.out;
        EXPECT_EQ(got.out.find("\nCommand: ") != std::string::npos, here) << c.label;
        EXPECT_EQ(got.status, 0) << c.label;
    }
    // Without a registry seen here, nothing of /proc is read.
    ::setenv("ZORLEK_REGISTRY", "/nonexistent/registry.sock", 1);
    Journal journal;
    sp<FakeRegistry> registry(new FakeRegistry(&journal));
    registry->add("me", describedAs(u"d"));
    ServiceHolder holder = ghost({u"me"});
    holder.pid = ::getpid();
    holder.uid = ::geteuid();
    holder.sinceMs = nowMs();
    registry->holders.push_back({"me", holder});
    Outcome got = runTool(registry, {"status", "--json", "me"});
    EXPECT_NE(got.out.find("\"process\": \"elsewhere\""), std::string::npos) << got.out;
    EXPECT_NE(got.out.find("\"command\": null, \"unit\": null"), std::string::npos) << got.out;
}

// /proc's files as the kernel writes them, and cut or bent.
TEST(Status, ProcFilesAreReadByTheirFields) {
    EXPECT_EQ(startTicksIn("42 (a b) c) S 1 42 42 0 -1 4194560 100 0 0 0 0 0 0 0 20 0 1 0 "
                           "123456 1000 10"),
              123456);
    EXPECT_EQ(startTicksIn("42 (x) S 1 2 3"), -1);
    EXPECT_EQ(startTicksIn("no parenthesis"), -1);
    EXPECT_EQ(startTicksIn(""), -1);
    EXPECT_EQ(effectiveUidIn("Name:\tx\nUid:\t1000\t0\t0\t0\nGid:\t1\n"), 0);
    EXPECT_EQ(effectiveUidIn("Uid:\t1000\n"), -1);
    EXPECT_EQ(effectiveUidIn("Gid:\t1\t2\n"), -1);
    EXPECT_EQ(innermostPidIn("NSpid:\t4242\t17\nNSpgid:\t1\n"), 17);
    EXPECT_EQ(innermostPidIn("NSpid:\t4242\n"), 4242);
    EXPECT_EQ(innermostPidIn("Pid:\t4242\n"), -1);
    EXPECT_TRUE(startedBefore(1000, 2000, 50));
    EXPECT_TRUE(startedBefore(2040, 2000, 50));
    EXPECT_FALSE(startedBefore(2051, 2000, 50));
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
