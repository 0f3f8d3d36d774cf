// SPDX-License-Identifier: Apache-2.0
// Policy folders: how their files combine into one policy, which files and folders are not
// trusted, and what a reload keeps when a file can no longer be read or trusted.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <string>

#include "harness/harness.h"
#include "platform/text.h"
#include "registry/policy.h"
#include "tests/registry/table_accounts.h"

namespace zorlek::registry {
namespace {

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
