// SPDX-License-Identifier: Apache-2.0
// `zorlek status` and `zorlek wait` against real registries and services: who holds a name
// when another user does, and waits for names that come, go, never come, or come while
// the registry restarts.

#include <signal.h>
#include <sys/stat.h>

#include <regex>

#include "tests/integration/ipc_support.h"
#include "tests/support/wait.h"

namespace zorlek::test {
namespace {

// A guard against a hang, far above any wait these tests expect.
constexpr int kGuardMs = 20000;

std::vector<std::string> tool(std::vector<std::string> args) {
    args.insert(args.begin(), binPath("zorlek"));
    return args;
}

// A registry at a socket every user can reach, open to every user's names.
struct Stage {
    TempDir dir;
    std::string path = dir.path() + "/registry.sock";
    std::unique_ptr<Process> registry;
    EnvChanges env() const { return {"ZORLEK_REGISTRY=" + path}; }
    bool start() {
        if (::chmod(dir.path().c_str(), 0755) != 0) return false;
        registry = startRegistryAt(path, {"--allow-any-user"});
        return registry != nullptr;
    }
    std::unique_ptr<Process> echo(std::vector<std::string> args,
                                  std::vector<std::string> launcher = {}) {
        launcher.push_back(binPath("zorlek-echo"));
        launcher.insert(launcher.end(), args.begin(), args.end());
        auto process = Process::start(launcher, env());
        if (!process || !process->waitForLine("ready", kGuardMs)) return nullptr;
        return process;
    }
};

TEST(StatusE2E, TellsWhoHoldsANameOfAnotherUserEscapedAndAsJson) {
    if (::geteuid() != 0 || ::access(kSetpriv, X_OK) != 0) GTEST_SKIP() << "needs root";
    Stage stage;
    ASSERT_TRUE(stage.start());
    auto theirs = stage.echo({"--descriptor", "their\x1b[1m.IFace", "theirs", "theirs\xe2\x80\xae"},
                             asNobody({}));
    ASSERT_TRUE(theirs);
    std::string pid = std::to_string(theirs->pid());
    RunResult got = runProgram(tool({"status", "theirs"}), stage.env());
    EXPECT_EQ(got.err, "");
    EXPECT_EQ(got.exitCode, 0);
    std::regex lines(
        "Service: theirs\n"
        "Descriptor: their\\\\x1B\\[1m\\.IFace\n"
        "PID: " +
        pid +
        "\n"
        "UID: 65534( \\([^)]*\\))?\n"
        "GID: 65534( \\([^)]*\\))?\n"
        "Command: " +
        binPath("zorlek-echo") +
        " --descriptor their\\\\x1B\\[1m\\.IFace theirs "
        "theirs\\\\u202E\n"
        "(Unit: .*\n)?"
        "Since: 20[0-9][0-9]-[01][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:[0-6][0-9]Z\n"
        "Names: theirs, theirs\\\\u202E\n");
    EXPECT_TRUE(std::regex_match(got.out, lines)) << got.out;

    RunResult json = runProgram(tool({"status", "--json", "theirs\xe2\x80\xae"}), stage.env());
    EXPECT_EQ(json.exitCode, 0);
    std::regex object(
        "\\{\"service\": \"theirs\\\\u202e\", \"descriptor\": \"their\\\\u001b\\[1m\\.IFace\", "
        "\"pid\": " +
        pid +
        ", \"process\": \"here\", \"uid\": 65534, \"user\": (null|\"[^\"]*\"), \"gid\": 65534, "
        "\"group\": (null|\"[^\"]*\"), \"command\": \"[^\"]*zorlek-echo [^\"]*\", "
        "\"unit\": (null|\"[^\"]*\"), \"since\": \"[-0-9T:]*Z\", "
        "\"names\": \\[\"theirs\", \"theirs\\\\u202e\"\\]\\}\n");
    EXPECT_TRUE(std::regex_match(json.out, object)) << json.out;

    RunResult missing = runProgram(tool({"status", "nosuch"}), stage.env());
    EXPECT_EQ(missing.out, "");
    EXPECT_EQ(missing.err, "zorlek: Service nosuch is not registered\n");
    EXPECT_EQ(missing.exitCode, 10);
}

// Starts `zorlek wait ARGS` and returns once it waits in the kernel (for the registry's
// answer, or for its next try).
std::unique_ptr<Process> startWaiting(const Stage& stage, std::vector<std::string> args) {
    auto waiting = Process::start(tool(std::move(args)), stage.env());
    if (waiting && !waitUntilAsleep(waiting->pid(), kGuardMs)) return nullptr;
    return waiting;
}

// A trusted host may hold more names than one message carries: status answers with the
// first of them, as many as fit in a listing page.
TEST(StatusE2E, AHostOfMoreNamesThanAMessageCarriesIsShownWithTheFirst) {
    Stage stage;
    ASSERT_TRUE(stage.start());
    std::vector<std::string> args;
    for (int i = 0; i < 2100; ++i) {
        char prefix[16];
        std::snprintf(prefix, sizeof prefix, "n%04d.", i);
        args.push_back(prefix + std::string(250, 'x'));
    }
    auto host = stage.echo(args);
    ASSERT_TRUE(host);
    EnvChanges env = stage.env();
    env.push_back("ZORLEK_CALL_TIMEOUT_MS=2000");
    RunResult got = runProgram(tool({"status", args[0]}), env);
    EXPECT_EQ(got.exitCode, 0) << got.err;
    size_t names = got.out.find("\nNames: " + args[0] + ", " + args[1] + ", ");
    ASSERT_NE(names, std::string::npos) << got.err;
    EXPECT_EQ(got.out.find(args.back()), std::string::npos) << "past one page";
}

TEST(WaitE2E, EndsWhenNamesComeOrGoAndTimesOutNamingTheFirstMissing) {
    Stage stage;
    ASSERT_TRUE(stage.start());
    auto held = stage.echo({"held"});
    ASSERT_TRUE(held);

    // A name that comes: the wait ends once both are there.
    auto waiting = startWaiting(stage, {"wait", "held", "comes"});
    ASSERT_TRUE(waiting);
    EXPECT_EQ(waiting->wait(0), -1) << "ended before the name came";
    auto comes = stage.echo({"comes"});
    ASSERT_TRUE(comes);
    EXPECT_EQ(waiting->wait(kGuardMs), 0);
    EXPECT_EQ(waiting->errText(), "");

    // A name that goes.
    waiting = startWaiting(stage, {"wait", "--gone", "comes"});
    ASSERT_TRUE(waiting);
    comes->stop();
    EXPECT_EQ(waiting->wait(kGuardMs), 0);

    struct Case {
        std::vector<std::string> args;
        std::string err;
        int status;
    };
    const Case cases[] = {
        {{"wait", "held"}, "", 0},
        {{"wait", "--gone", "--", "nothere"}, "", 0},
        {{"wait", "--timeout", "0.2", "held", "never", "nor"},
         "zorlek: Timed out waiting for never\n",
         10},
        {{"wait", "--gone", "--timeout", "0", "nothere", "held"},
         "zorlek: Timed out waiting for held\n",
         10},
        {{"wait", "--timeout", "0.1", "bad\tname"}, "zorlek: Not a service name: bad\tname\n", 10},
    };
    for (const Case& c : cases) {
        RunResult got = runProgram(tool(c.args), stage.env(), kGuardMs);
        EXPECT_EQ(got.out, "") << c.args[1];
        EXPECT_EQ(got.err, c.err) << c.args[1];
        EXPECT_EQ(got.exitCode, c.status) << c.args[1];
    }

    // A registry slow to take the connection (stopped until the tool waits for it) is
    // still asked which name is missing, however short the time to wait.
    pid_t registry = stage.registry->pid();
    ASSERT_EQ(::kill(registry, SIGSTOP), 0);
    waiting =
        Process::start(tool({"wait", "--gone", "--timeout", "0", "nothere", "held"}), stage.env());
    // Resumed once the tool waits for it, or has ended without.
    bool settled =
        waiting &&
        waitUntil(
            [&] { return !waiting->running() || statFields(waiting->pid()).rfind('S', 0) == 0; },
            kGuardMs);
    ::kill(registry, SIGCONT);
    ASSERT_TRUE(settled);
    EXPECT_EQ(waiting->wait(kGuardMs), 10);
    EXPECT_EQ(waiting->errText(), "zorlek: Timed out waiting for held\n");
}

TEST(WaitE2E, WaitsThroughARegistryNotThereYetAndOneThatRestarts) {
    Stage stage;
    // No registry at all: the wait tries again until one comes.
    auto waiting = startWaiting(stage, {"wait", "--timeout", "20", "late"});
    ASSERT_TRUE(waiting);
    ASSERT_TRUE(stage.start());
    auto late = stage.echo({"late"});
    ASSERT_TRUE(late);
    EXPECT_EQ(waiting->wait(kGuardMs), 0) << waiting->errText();

    // The registry goes away while the client waits; the name comes once a new one runs.
    waiting = startWaiting(stage, {"wait", "later"});
    ASSERT_TRUE(waiting);
    stage.registry->stop(9);
    ASSERT_TRUE(stage.start());
    auto later = stage.echo({"later"});
    ASSERT_TRUE(later);
    EXPECT_EQ(waiting->wait(kGuardMs), 0) << waiting->errText();
}

}  // namespace
}  // namespace zorlek::test
