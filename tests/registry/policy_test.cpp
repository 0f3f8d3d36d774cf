// SPDX-License-Identifier: Apache-2.0
// Name ownership by policy: how lines read (good and bad), which names they grant to whom,
// and the registration decision with its reason. The folders and reloads are in
// policy_files_test.cpp.

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>

#include "harness/harness.h"
#include "platform/text.h"
#include "registry/policy.h"
#include "registry/request_handler.h"
#include "tests/registry/table_accounts.h"

namespace zorlek::registry {
namespace {

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
        {"monitor lines by user and group",
         "monitor a.b user alice\nmonitor c.* group staff\n",
         {},
         2},
        {"a monitor line too short",
         "monitor a user",
         {"f.conf:1: a line is: monitor PATTERN user NAME, or monitor PATTERN group NAME"},
         0},
        {"a monitor line of an unknown kind",
         "monitor a person alice",
         {"f.conf:1: unknown word 'person'"},
         0},
        {"a monitor line's bad pattern",
         "monitor a*b group staff",
         {"f.conf:1: bad pattern 'a*b': '*' may only end a pattern"},
         0},
        {"a monitor line's unknown user",
         "monitor a user mallory",
         {"f.conf:1: unknown user 'mallory'"},
         1},
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

// `monitor` lines and `own` lines grant each their own right, and never the other.
TEST(PolicyGrants, MonitorLinesGrantWatchingOnly) {
    Policy policy;
    ASSERT_TRUE(problemsOf("monitor org.example user alice\n"
                           "monitor org.shared.* group staff\n"
                           "own org.owned user bob\n"
                           "monitor org.lost user mallory\n",
                           &policy)
                    .size() == 1);
    const struct {
        const char* what;
        std::u16string name;
        uid_t uid;
        gid_t gid;
        std::vector<gid_t> groups;
        bool monitor;
    } cases[] = {
        {"a whole name to its user", u"org.example", 1000, 100, {}, true},
        {"a whole name, another user", u"org.example", 1001, 100, {}, false},
        {"a whole name is no prefix", u"org.example.sub", 1000, 100, {}, false},
        {"a prefix, a member by supplementary group", u"org.shared.x", 1001, 100, {7, 50}, true},
        {"a prefix, a member by primary group", u"org.shared.x", 1001, 50, {}, true},
        {"a prefix, no member", u"org.shared.x", 1001, 100, {7}, false},
        {"an own line grants no watching", u"org.owned", 1001, 100, {}, false},
        {"an unknown account, nobody", u"org.lost", 1000, 100, {}, false},
        {"no line", u"net.other", 1000, 100, {}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(policy.grantsMonitor(String16(c.name), c.uid, c.gid, c.groups), c.monitor)
            << c.what;
    }
    // And a monitor line neither grants a name nor keeps it from --allow-any-user.
    bool matched = true;
    String8 why;
    EXPECT_FALSE(policy.grants(String16("org.example"), 1000, 100, {}, &matched, &why));
    EXPECT_FALSE(matched);
}

TEST(MonitorDecision, RootTheHoldersUserAndThePolicy) {
    Policy policy;
    ASSERT_TRUE(
        problemsOf("monitor watched.* user alice\nmonitor team.* group staff\n", &policy).empty());
    const struct {
        const char* what;
        uid_t peer;
        gid_t gid;
        std::vector<gid_t> groups;
        uid_t holder;
        uid_t registry;
        const char* name;
        bool allowed;
    } cases[] = {
        {"root", 0, 0, {}, 998, 1000, "x", true},
        {"the holder's own user", 998, 998, {}, 998, 0, "x", true},
        {"another user, no line", 1001, 1001, {}, 998, 0, "x", false},
        {"nobody, no line", 65534, 65534, {}, 998, 0, "watched", false},
        {"the registry's own user is not the holder", 1000, 1000, {}, 998, 1000, "x", false},
        {"granted by user", 1000, 1000, {}, 998, 0, "watched.a", true},
        {"granted by group", 1002, 1002, {50}, 998, 0, "team.a", true},
        {"a line for another name", 1000, 1000, {}, 998, 0, "team.a", false},
    };
    for (const auto& c : cases) {
        ServerOptions options;
        options.registryUid = c.registry;
        options.policy = &policy;
        Peer peer;
        peer.credentials = {42, c.peer, c.gid};
        peer.groups = c.groups;
        EXPECT_EQ(monitorGrantedTo(options, peer, c.holder, String16(c.name)), c.allowed) << c.what;
    }
    ServerOptions none;
    Peer peer;
    peer.credentials = {42, 1000, 1000};
    EXPECT_FALSE(monitorGrantedTo(none, peer, 998, String16("watched.a"))) << "no policy";
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
        // Only peers of this version pass the handshake, and every one reads the reason.
        {"a peer of this version gets the reason", 1001, 0, false, "granted.a", kProtocolVersion,
         false, "only user alice may hold it"},
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

}  // namespace
}  // namespace zorlek::registry
