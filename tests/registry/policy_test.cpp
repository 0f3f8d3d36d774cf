// SPDX-License-Identifier: Apache-2.0
// Name ownership by policy: how lines read (good and bad), which names they grant to whom,
// how the folders combine into one policy, and the registration decision with its reason.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <string>

#include "harness/harness.h"
#include "platform/text.h"
#include "registry/policy.h"
#include "registry/request_handler.h"

namespace zorlek::registry {
namespace {

class TableAccounts final : public Accounts {
  public:
    // Besides the table, "uN" is the user 2000 + N.
    std::optional<uid_t> user(const char* name) const override {
        if (name[0] == 'u' && std::isdigit(static_cast<unsigned char>(name[1]))) {
            return 2000 + static_cast<uid_t>(std::atoi(name + 1));
        }
        return find(users_, name);
    }
    std::optional<gid_t> group(const char* name) const override { return find(groups_, name); }

  private:
    static std::optional<uint32_t> find(const std::map<std::string, uint32_t>& table,
                                        const char* name) {
        auto found = table.find(name);
        if (found == table.end()) return {};
        return found->second;
    }
    std::map<std::string, uint32_t> users_ = {{"alice", 1000}, {"bob", 1001}, {"echo", 998}};
    std::map<std::string, uint32_t> groups_ = {{"staff", 50}, {"svc", 60}};
};

std::vector<std::string> problemsOf(const std::string& text, Policy* policy = nullptr) {
    Policy own;
    std::vector<String8> problems;
    (policy != nullptr ? *policy : own).addText("f.conf", text, TableAccounts(), &problems);
    std::vector<std::string> out;
    for (const String8& problem : problems) out.emplace_back(problem.c_str());
    return out;
}

struct LineCase {
    const char* what;
    std::string text;
    std::vector<std::string> problems;
    size_t rules;
};

TEST(PolicyLines, GoodLinesGrantAndBadOnesSayWhereAndWhy) {
    const LineCase cases[] = {
        {"user and group", "own a.b user alice\nown c.* group staff\n", {}, 2},
        {"comments, blanks, tabs, no final newline",
         "# x\n\n  \town\ta  user bob # y\n  # z",
         {},
         1},
        {"everything", "own * user echo", {}, 1},
        {"empty file", "", {}, 0},
        {"unknown first word", "grant a user alice", {"f.conf:1: unknown word 'grant'"}, 0},
        {"unknown kind", "own a person alice", {"f.conf:1: unknown word 'person'"}, 0},
        {"too few words",
         "own a user",
         {"f.conf:1: a line is: own PATTERN user NAME, or own PATTERN group NAME"},
         0},
        {"too many words",
         "own a user alice bob",
         {"f.conf:1: a line is: own PATTERN user NAME, or own PATTERN group NAME"},
         0},
        {"star inside",
         "own a*b user alice",
         {"f.conf:1: bad pattern 'a*b': '*' may only end a pattern"},
         0},
        {"two stars",
         "own a** user alice",
         {"f.conf:1: bad pattern 'a**': '*' may only end a pattern"},
         0},
        {"not UTF-8",
         "own a\xff user alice",
         {"f.conf:1: bad pattern 'a\xef\xbf\xbd': not UTF-8"},
         0},
        {"control character",
         "own a\x01 user alice",
         {"f.conf:1: bad pattern 'a\\x01': not a name (1 to 256 UTF-16 code units, no control "
          "characters)"},
         0},
        {"name too long",
         "own " + std::string(257, 'x') + " user alice",
         {"f.conf:1: bad pattern '" + std::string(257, 'x') +
          "': not a name (1 to 256 UTF-16 code units, no control characters)"},
         0},
        {"prefix too long",
         "own " + std::string(257, 'x') + "* user alice",
         {"f.conf:1: bad pattern '" + std::string(257, 'x') +
          "*': not a name (1 to 256 UTF-16 code units, no control characters)"},
         0},
        {"a 256-unit prefix", "own " + std::string(256, 'x') + "* user alice", {}, 1},
        {"unknown user keeps the pattern",
         "own a user mallory",
         {"f.conf:1: unknown user 'mallory'"},
         1},
        {"unknown group", "own a group wheel", {"f.conf:1: unknown group 'wheel'"}, 1},
        {"bad lines numbered, good ones kept",
         "own a user alice\nbad\n\nown b user nobody\n",
         {"f.conf:2: unknown word 'bad'", "f.conf:4: unknown user 'nobody'"},
         2},
    };
    for (const LineCase& c : cases) {
        Policy policy;
        EXPECT_EQ(problemsOf(c.text, &policy), c.problems) << c.what;
        EXPECT_EQ(policy.ruleCount(), c.rules) << c.what;
    }
}

struct GrantCase {
    const char* what;
    std::u16string name;
    uid_t uid;
    gid_t gid;
    std::vector<gid_t> groups;
    bool granted;
    bool matched;
    const char* why;
};

TEST(PolicyGrants, WholeNamesPrefixesUsersAndGroups) {
    Policy policy;
    ASSERT_EQ(problemsOf("own org.example user alice\n"
                         "own org.shared.* user alice\n"
                         "own org.shared.* group staff\n"
                         "own org.team.* group svc\n"
                         "own org.lost user mallory\n"
                         "own org.twice user bob\nown org.twice user bob\n",
                         &policy),
              std::vector<std::string>{"f.conf:5: unknown user 'mallory'"});
    const char* onlyAlice = "only user alice may hold it";
    const char* none = "no policy line grants it";
    const GrantCase cases[] = {
        {"whole name to its user", u"org.example", 1000, 100, {}, true, true, ""},
        {"whole name, other user", u"org.example", 1001, 100, {}, false, true, onlyAlice},
        {"whole name is not a prefix", u"org.example.sub", 1000, 100, {}, false, false, none},
        {"a longer name is another", u"org.examples", 1000, 100, {}, false, false, none},
        {"prefix, its user", u"org.shared.x", 1000, 100, {}, true, true, ""},
        {"prefix, the prefix itself", u"org.shared.", 1000, 100, {}, true, true, ""},
        {"prefix, a member by supplementary group",
         u"org.shared.x",
         1001,
         100,
         {7, 50},
         true,
         true,
         ""},
        {"prefix, a member by primary group", u"org.shared.x", 1001, 50, {}, true, true, ""},
        {"prefix, neither",
         u"org.shared.x",
         1001,
         100,
         {7},
         false,
         true,
         "only user alice or group staff may hold it"},
        {"group only", u"org.team.a", 1000, 100, {}, false, true, "only group svc may hold it"},
        {"group member", u"org.team.a", 4242, 100, {60}, true, true, ""},
        {"unknown account reserves, grants nobody", u"org.lost", 1000, 100, {}, false, true, none},
        {"a grantee named once",
         u"org.twice",
         1000,
         100,
         {},
         false,
         true,
         "only user bob may hold it"},
        {"no line", u"net.other", 1000, 100, {}, false, false, none},
    };
    for (const GrantCase& c : cases) {
        bool matched = !c.matched;
        String8 why;
        EXPECT_EQ(policy.grants(String16(c.name), c.uid, c.gid, c.groups, &matched, &why),
                  c.granted)
            << c.what;
        EXPECT_EQ(matched, c.matched) << c.what;
        if (!c.granted) {
            EXPECT_STREQ(why.c_str(), c.why) << c.what;
        }
    }
}

TEST(PolicyGrants, ARefusalNamesAFewGranteesOnceEach) {
    const struct {
        std::string lines;
        const char* why;
    } cases[] = {
        {"own n user bob\nown n group staff\nown n user bob\nown n user alice\n",
         "only user bob, group staff or user alice may hold it"},
        {"own n user u1\nown n user u2\nown n user u3\nown n user u4\nown n user u5\n"
         "own n user u6\nown n user u7\nown n user u8\nown n user u9\n",
         "only user u1, user u2, user u3, user u4, user u5, user u6, user u7, user u8 and "
         "others may hold it"},
    };
    for (const auto& c : cases) {
        Policy policy;
        ASSERT_TRUE(problemsOf(c.lines, &policy).empty());
        bool matched = false;
        String8 why;
        EXPECT_FALSE(policy.grants(String16("n"), 5, 5, {}, &matched, &why));
        EXPECT_STREQ(why.c_str(), c.why);
    }
}

struct DecisionCase {
    const char* what;
    uid_t peer;
    uid_t registry;
    bool anyUser;
    const char* name;
    int32_t version;
    bool allowed;
    const char* answer;  // the reason the refusal carries; null: none
};

TEST(RegistrationDecision, TrustedUsersPolicyAndAllowAnyUser) {
    Policy policy;
    ASSERT_TRUE(problemsOf("own granted.* user alice\n", &policy).empty());
    const DecisionCase cases[] = {
        {"root", 0, 0, false, "x", 3, true, nullptr},
        {"root under another registry user", 0, 1000, false, "granted.a", 3, true, nullptr},
        {"the registry's own user", 1000, 1000, false, "x", 3, true, nullptr},
        {"the registry's own user, a name granted to another", 1001, 1001, false, "granted.a", 3,
         true, nullptr},
        {"another user, no line", 1001, 1000, false, "x", 3, false, "no policy line grants it"},
        {"nobody, no line", 65534, 0, false, "x", 3, false, "no policy line grants it"},
        {"nobody, no line, any user", 65534, 0, true, "x", 3, true, nullptr},
        {"another user, any user", 1001, 1000, true, "x", 3, true, nullptr},
        {"granted by policy", 1000, 0, false, "granted.a", 3, true, nullptr},
        {"granted to another, even under any user", 1001, 0, true, "granted.a", 3, false,
         "only user alice may hold it"},
        {"an older peer gets the refusal without reason", 1001, 0, false, "granted.a", 2, false,
         nullptr},
    };
    String8 log;
    aerr.captureInto(&log);
    for (const DecisionCase& c : cases) {
        ServerOptions options;
        options.registryUid = c.registry;
        options.allowAnyUser = c.anyUser;
        options.policy = &policy;
        Peer peer;
        peer.credentials = {42, c.peer, 100};
        peer.version = c.version;
        Parcel answer;
        EXPECT_EQ(permitRegistration(options, peer, String16(c.name), &answer), c.allowed)
            << c.what;
        String16 reason;
        if (c.answer == nullptr) {
            EXPECT_EQ(answer.dataSize(), 0u) << c.what;
        } else {
            EXPECT_EQ(answer.readString16(&reason), OK) << c.what;
            EXPECT_EQ(reason, String16(c.answer)) << c.what;
        }
    }
    aerr.captureInto(nullptr);
    EXPECT_NE(std::string(log.c_str())
                  .find("zorlek-registry: refused granted.a to uid 1001 (pid "
                        "42): only user alice may hold it\n"),
              std::string::npos)
        << log.c_str();
}

TEST(RegistrationDecision, NoPolicyIsNoLines) {
    ServerOptions options;
    options.registryUid = 0;
    Peer peer;
    peer.credentials = {1, 1000, 1000};
    Parcel answer;
    String8 log;
    aerr.captureInto(&log);
    EXPECT_FALSE(permitRegistration(options, peer, String16("x"), &answer));
    options.allowAnyUser = true;
    EXPECT_TRUE(permitRegistration(options, peer, String16("x"), &answer));
    aerr.captureInto(nullptr);
}

void writeFile(const std::string& path, const std::string& text, mode_t mode = 0644) {
    std::ofstream(path) << text;
    ASSERT_EQ(::chmod(path.c_str(), mode), 0);
}

TEST(PolicyFolders, NameOrderReplacementMaskingAndRefusedFiles) {
    test::TempDir dir;
    std::string package = dir.path() + "/package", admin = dir.path() + "/admin";
    ASSERT_EQ(::mkdir(package.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(admin.c_str(), 0755), 0);
    writeFile(package + "/b.conf", "own b user alice\nbad-b\n");
    writeFile(package + "/a.conf", "bad-a\n");
    writeFile(package + "/replaced.conf", "own replaced user alice\n");
    writeFile(admin + "/replaced.conf", "own replaced user bob\n");
    writeFile(package + "/masked.conf", "own masked user alice\n");
    ASSERT_EQ(::symlink("/dev/null", (admin + "/masked.conf").c_str()), 0);
    writeFile(package + "/notes.txt", "bad-notes\n");
    writeFile(package + "/.hidden.conf", "bad-hidden\n");
    writeFile(admin + "/open.conf", "own open user alice\n", 0666);
    writeFile(admin + "/shared.conf", "own shared user alice\n", 0664);
    writeFile(admin + "/theirs.conf", "own theirs user alice\n");
    // Links are read as the files they lead to, wherever those lie.
    writeFile(dir.path() + "/elsewhere", "own linked user alice\n");
    ASSERT_EQ(::symlink("../elsewhere", (admin + "/linked.conf").c_str()), 0);
    writeFile(dir.path() + "/shared", "own linkedshared user alice\n", 0620);
    ASSERT_EQ(::symlink("../shared", (admin + "/linkedshared.conf").c_str()), 0);
    writeFile(dir.path() + "/theirs", "own linkedtheirs user alice\n");
    ASSERT_EQ(::symlink("../theirs", (admin + "/linkedtheirs.conf").c_str()), 0);
    // Given away to another user, as only root can.
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown((admin + "/theirs.conf").c_str(), 1000, -1), 0);
        ASSERT_EQ(::chown((dir.path() + "/theirs").c_str(), 1000, -1), 0);
    }
    writeFile(admin + "/huge.conf", std::string(kMaxPolicyFileBytes + 1, '#'));
    ASSERT_EQ(::mkdir((admin + "/dir.conf").c_str(), 0755), 0);

    std::vector<String8> problems;
    Policy policy = Policy::load({String8(package.c_str()), String8(admin.c_str()),
                                  String8((dir.path() + "/missing").c_str())},
                                 TableAccounts(), &problems);
    std::vector<std::string> got;
    for (const String8& problem : problems) got.emplace_back(problem.c_str());
    std::vector<std::string> expected = {
        package + "/a.conf:1: unknown word 'bad-a'",
        package + "/b.conf:2: unknown word 'bad-b'",
        admin + "/dir.conf:0: not a regular file; not read",
        admin + "/huge.conf:0: larger than 1 MiB; not read",
        admin + "/linkedshared.conf:0: a link to a file writable by its group; not read",
    };
    if (::geteuid() == 0) {
        expected.push_back(admin + "/linkedtheirs.conf:0: a link to a file not owned by root; " +
                           "not read");
    }
    expected.push_back(admin + "/open.conf:0: writable by every user; not read");
    expected.push_back(admin + "/shared.conf:0: writable by its group; not read");
    if (::geteuid() == 0) expected.push_back(admin + "/theirs.conf:0: not owned by root; not read");
    EXPECT_EQ(got, expected);
    bool matched = false;
    String8 why;
    EXPECT_TRUE(policy.grants(String16("b"), 1000, 1, {}, &matched, &why));
    EXPECT_TRUE(policy.grants(String16("replaced"), 1001, 1, {}, &matched, &why));
    EXPECT_FALSE(policy.grants(String16("replaced"), 1000, 1, {}, &matched, &why));
    EXPECT_FALSE(policy.grants(String16("masked"), 1000, 1, {}, &matched, &why));
    EXPECT_FALSE(matched) << "a link to /dev/null masks the package's file";
    EXPECT_FALSE(policy.grants(String16("open"), 1000, 1, {}, &matched, &why));
    EXPECT_FALSE(policy.grants(String16("shared"), 1000, 1, {}, &matched, &why));
    EXPECT_TRUE(policy.grants(String16("linked"), 1000, 1, {}, &matched, &why));
    EXPECT_FALSE(policy.grants(String16("linkedshared"), 1000, 1, {}, &matched, &why));
    EXPECT_EQ(policy.grants(String16("theirs"), 1000, 1, {}, &matched, &why), ::geteuid() != 0);
    EXPECT_EQ(policy.grants(String16("linkedtheirs"), 1000, 1, {}, &matched, &why),
              ::geteuid() != 0);
}

TEST(PolicyFolders, AFolderOthersThanRootMayWriteIsNotRead) {
    const struct {
        mode_t mode;
        uid_t owner;  // given away when not root, as only root can
        const char* why;
    } cases[] = {
        {0777, 0, "writable by every user; not read"},
        {0775, 0, "writable by its group; not read"},
        {0770, 0, "writable by its group; not read"},
        {01777, 0, "writable by every user; not read"},
        {0755, 1000, "not owned by root; not read"},
    };
    for (const auto& c : cases) {
        if (c.owner != 0 && ::geteuid() != 0) continue;
        test::TempDir dir;
        std::string folder = dir.path() + "/policy";
        ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
        writeFile(folder + "/a.conf", "own a user alice\n");
        ASSERT_EQ(::chmod(folder.c_str(), c.mode), 0);
        if (c.owner != 0) {
            ASSERT_EQ(::chown(folder.c_str(), c.owner, -1), 0);
        }
        std::vector<String8> problems;
        Policy policy = Policy::load({String8(folder.c_str())}, TableAccounts(), &problems);
        ASSERT_EQ(problems.size(), 1u) << c.why;
        EXPECT_EQ(std::string(problems[0].c_str()), folder + ":0: " + c.why);
        EXPECT_EQ(policy.ruleCount(), 0u) << c.why;
    }
}

std::vector<std::string> texts(const std::vector<String8>& problems) {
    std::vector<std::string> out;
    for (const String8& problem : problems) out.emplace_back(problem.c_str());
    return out;
}

// Rereading a folder and its file after something changed them: what the reserved name's
// line says then, and the problems, "F" standing for the folder.
struct ReloadCase {
    const char* what;
    std::function<void(const std::string& folder)> change;
    bool aliceHolds;  // the line as first read: alice's
    bool bobHolds;    // the line someone wrote since: bob's
    std::vector<std::string> problems;
    bool needsRoot = false;
};

TEST(PolicyReload, WhatCannotBeReadOrTrustedKeepsItsLastGoodRead) {
    const std::string keep = "; keeping its last good read";
    const std::string file = "/reserve.conf";
    auto append = [file](const std::string& folder) {
        std::ofstream(folder + file, std::ios::app) << "own reserved user bob\n";
    };
    const ReloadCase cases[] = {
        {"nothing changed", [](const std::string&) {}, true, false, {}},
        {"made writable by its group, and a line added",
         [&](const std::string& f) {
             ASSERT_EQ(::chmod((f + file).c_str(), 0664), 0);
             append(f);
         },
         true,
         false,
         {"F/reserve.conf:0: writable by its group; not read" + keep}},
        {"given to another user, and a line added",
         [&](const std::string& f) {
             ASSERT_EQ(::chown((f + file).c_str(), 1000, -1), 0);
             append(f);
         },
         true,
         false,
         {"F/reserve.conf:0: not owned by root; not read" + keep},
         true},
        {"replaced by a folder",
         [&](const std::string& f) {
             ASSERT_EQ(::unlink((f + file).c_str()), 0);
             ASSERT_EQ(::mkdir((f + file).c_str(), 0755), 0);
         },
         true,
         false,
         {"F/reserve.conf:0: not a regular file; not read" + keep}},
        {"replaced by a link to nothing",
         [&](const std::string& f) {
             ASSERT_EQ(::unlink((f + file).c_str()), 0);
             ASSERT_EQ(::symlink("missing", (f + file).c_str()), 0);
         },
         true,
         false,
         {"F/reserve.conf:0: No such file or directory" + keep}},
        {"grown past the limit",
         [&](const std::string& f) {
             std::ofstream(f + file, std::ios::app) << std::string(kMaxPolicyFileBytes, '#');
         },
         true,
         false,
         {"F/reserve.conf:0: larger than 1 MiB; not read" + keep}},
        {"its folder made writable by its group, and the file deleted",
         [&](const std::string& f) {
             ASSERT_EQ(::chmod(f.c_str(), 0775), 0);
             ASSERT_EQ(::unlink((f + file).c_str()), 0);
         },
         true,
         false,
         {"F:0: writable by its group; not read" + keep}},
        {"its folder made writable by its group, and another file added",
         [&](const std::string& f) {
             ASSERT_EQ(::chmod(f.c_str(), 0775), 0);
             writeFile(f + "/added.conf", "own reserved user bob\n");
         },
         true,
         false,
         {"F:0: writable by its group; not read" + keep}},
        {"rewritten by root",
         [&](const std::string& f) { writeFile(f + file, "own reserved user bob\n"); },
         false,
         true,
         {}},
        {"removed by root",
         [&](const std::string& f) { ASSERT_EQ(::unlink((f + file).c_str()), 0); },
         false,
         false,
         {}},
        {"its folder removed by root",
         [&](const std::string& f) {
             ASSERT_EQ(::unlink((f + file).c_str()), 0);
             ASSERT_EQ(::rmdir(f.c_str()), 0);
         },
         false,
         false,
         {}},
    };
    for (const ReloadCase& c : cases) {
        if (c.needsRoot && ::geteuid() != 0) continue;
        test::TempDir dir;
        std::string folder = dir.path() + "/policy";
        ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
        writeFile(folder + file, "own reserved user alice\n");
        const std::vector<String8> folders = {String8(folder.c_str())};
        std::vector<String8> problems;
        Policy first = Policy::load(folders, TableAccounts(), &problems);
        ASSERT_TRUE(problems.empty()) << c.what;
        c.change(folder);
        Policy again = Policy::load(folders, TableAccounts(), &problems, &first);
        std::vector<std::string> expected;
        for (std::string problem : c.problems) expected.push_back(folder + problem.substr(1));
        EXPECT_EQ(texts(problems), expected) << c.what;
        bool matched = false;
        String8 why;
        EXPECT_EQ(again.grants(String16("reserved"), 1000, 1, {}, &matched, &why), c.aliceHolds)
            << c.what;
        EXPECT_EQ(again.grants(String16("reserved"), 1001, 1, {}, &matched, &why), c.bobHolds)
            << c.what;
    }
}

TEST(PolicyReload, AKeptReadLastsUntilRootMendsIt) {
    test::TempDir dir;
    std::string folder = dir.path() + "/policy";
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    writeFile(folder + "/reserve.conf", "own reserved user alice\n");
    const std::vector<String8> folders = {String8(folder.c_str())};
    std::vector<String8> problems;
    Policy policy = Policy::load(folders, TableAccounts(), &problems);
    ASSERT_EQ(::chmod((folder + "/reserve.conf").c_str(), 0666), 0);
    std::ofstream(folder + "/reserve.conf", std::ios::app) << "own reserved user bob\n";
    bool matched = false;
    String8 why;
    // Read again and again while it stays open to others: the line as root left it.
    for (int reload = 0; reload < 3; ++reload) {
        problems.clear();
        policy = Policy::load(folders, TableAccounts(), &problems, &policy);
        EXPECT_EQ(texts(problems), std::vector<std::string>{folder + "/reserve.conf:0: writable " +
                                                            "by every user; not read; keeping " +
                                                            "its last good read"});
        EXPECT_TRUE(policy.grants(String16("reserved"), 1000, 1, {}, &matched, &why)) << reload;
        EXPECT_FALSE(policy.grants(String16("reserved"), 1001, 1, {}, &matched, &why)) << reload;
    }
    // Root closes it again, having read what it now says.
    ASSERT_EQ(::chmod((folder + "/reserve.conf").c_str(), 0644), 0);
    problems.clear();
    policy = Policy::load(folders, TableAccounts(), &problems, &policy);
    EXPECT_TRUE(problems.empty());
    EXPECT_TRUE(policy.grants(String16("reserved"), 1001, 1, {}, &matched, &why));
}

TEST(PolicyFolders, DefaultsArePackagesThenAdministrator) {
    std::vector<String8> folders = defaultPolicyFolders();
    ASSERT_EQ(folders.size(), 2u);
    std::string package = folders[0].c_str();
    EXPECT_TRUE(package.ends_with("/share/zorlek/registry.d")) << package;
    EXPECT_EQ(package.find(".."), std::string::npos) << package;
    EXPECT_STREQ(folders[1].c_str(), "/etc/zorlek/registry.d");
}

}  // namespace
}  // namespace zorlek::registry
