// SPDX-License-Identifier: Apache-2.0
// A member of a group that was given write access to a policy file or folder tries to take
// a name the policy reserves for another user, through the reload that SIGHUP brings: by
// adding a line to the file, by deleting it, or by making it unreadable. The registry reads
// nothing others than root may change, and keeps what it read last until root mends it.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/integration/trust_support.h"

namespace zorlek::test {
namespace {

constexpr gid_t kMembers = 4242;

TEST_F(Trust, AGroupGivenWriteAccessToThePolicyCannotTakeAReservedName) {
    struct Attack {
        const char* folder;
        const char* name;
        mode_t folderMode;  // after the first read, with the group given to the members
        mode_t fileMode;
        std::string script;  // run by a member, in the folder
        const char* why;     // the log's word on the file or folder not read
    };
    const Attack attacks[] = {
        {"file", "res.a", 0755, 0664, "echo 'own res.a user nobody' >> res.a.conf",
         "/file/res.a.conf:0: writable by its group"},
        {"deleted", "res.b", 0775, 0644, "rm -f res.b.conf", "/deleted:0: writable by its group"},
        {"unreadable", "res.c", 0775, 0644, "mv res.c.conf res.c.old && mkdir res.c.conf",
         "/unreadable:0: writable by its group"},
    };
    std::vector<std::string> args = {"--allow-any-user"};
    for (const Attack& a : attacks) {
        std::string folder = dir.path() + "/" + a.folder;
        ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
        std::string conf = folder + "/" + a.name + ".conf";
        FILE* file = std::fopen(conf.c_str(), "w");
        ASSERT_NE(file, nullptr);
        std::fprintf(file, "own %s user daemon\n", a.name);
        std::fclose(file);
        ASSERT_EQ(::chmod(conf.c_str(), 0644), 0);
        args.insert(args.end(), {"--policy-dir", folder});
    }
    ASSERT_TRUE(startRegistry(args));
    // Root gives the group write access, and its member makes the change.
    for (const Attack& a : attacks) {
        std::string folder = dir.path() + "/" + a.folder;
        ASSERT_EQ(::chown(folder.c_str(), 0, kMembers), 0);
        ASSERT_EQ(::chmod(folder.c_str(), a.folderMode), 0);
        std::string conf = folder + "/" + a.name + ".conf";
        ASSERT_EQ(::chown(conf.c_str(), 0, kMembers), 0);
        ASSERT_EQ(::chmod(conf.c_str(), a.fileMode), 0);
        RunResult change = runProgram({kSetpriv, "--reuid=65534", "--regid=4242", "--clear-groups",
                                       "/bin/sh", "-c", "cd \"$0\" && " + a.script, folder});
        ASSERT_EQ(change.exitCode, 0) << a.folder << ": " << change.err;
    }
    ASSERT_EQ(::kill(registry->pid(), SIGHUP), 0);
    EXPECT_TRUE(waitUntil(
        [&] { return registry->errText().find("policy read again") != std::string::npos; }, 10000));
    const std::string log = registry->errText();
    for (const Attack& a : attacks) {
        RunResult taker = runProgram({kSetpriv, "--reuid=65534", "--regid=4242", "--clear-groups",
                                      binPath("zorlek-echo"), a.name},
                                     env(), 5000);
        EXPECT_EQ(taker.exitCode, 1) << a.name << ": " << taker.out;
        EXPECT_EQ(taker.err, std::string("zorlek-echo: cannot register ") + a.name +
                                 ": this user may not hold the name: only user daemon may hold "
                                 "it\n");
        std::string line =
            "zorlek-registry: " + dir.path() + a.why + "; not read; keeping its last good read\n";
        EXPECT_NE(log.find(line), std::string::npos) << line << "in:\n" << log;
    }
}

// Under --allow-any-user a user takes a name; a package then installs a policy file that
// grants it to root, and root reloads. The user's host is told (its re-registration is
// refused with the reason) and keeps its other name; the registry logs it; and root's
// service, refused before, gets the name.
TEST_F(Trust, AReloadTakesANameFromAHolderTheNewPolicyDoesNotGrantItTo) {
    std::string folder = dir.path() + "/policy";
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    ASSERT_TRUE(startRegistry({"--allow-any-user", "--policy-dir", folder}));
    attackers.push_back(
        Process::start(asUser(kAttacker, {binPath("zorlek-echo"), "pkg.svc", "pkg.kept"}), env()));
    Process* holder = attackers.back().get();
    ASSERT_TRUE(holder != nullptr && holder->waitForLine("ready", 10000));
    RunResult refused = runProgram({binPath("zorlek-echo"), "pkg.svc"}, env(), 5000);
    ASSERT_EQ(refused.exitCode, 1) << refused.err;

    std::string conf = folder + "/pkg.conf";
    FILE* file = std::fopen(conf.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fprintf(file, "own pkg.svc user root\n");
    std::fclose(file);
    ASSERT_EQ(::chmod(conf.c_str(), 0644), 0);
    ASSERT_EQ(::kill(registry->pid(), SIGHUP), 0);
    std::string told =
        "zorlek-echo: pkg.svc was refused by the registry (this user may not hold the name: "
        "only user root may hold it); asking again until it is free\n";
    EXPECT_TRUE(waitUntil([&] { return holder->errText().find(told) != std::string::npos; }, 10000))
        << holder->errText();
    std::string logged = "zorlek-registry: the policy no longer grants pkg.svc to uid 65534 (pid " +
                         std::to_string(holder->pid()) +
                         "): only user root may hold it; its holder is disconnected\n";
    EXPECT_NE(registry->errText().find(logged), std::string::npos) << registry->errText();

    ASSERT_TRUE(startVictim("pkg.svc"));
    EXPECT_EQ(victimServes("pkg.svc"), "");
    // The user's other name came back with its next registration.
    EXPECT_TRUE(waitUntil(
        [&] {
            RunResult check = runProgram({binPath("zorlek"), "check", "pkg.kept"}, env(), 5000);
            return check.exitCode == 0;
        },
        10000));
    EXPECT_TRUE(holder->running());
}

}  // namespace
}  // namespace zorlek::test
