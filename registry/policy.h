// SPDX-License-Identifier: Apache-2.0
// Name ownership: which users and groups may hold which names, as the policy files of the
// system's packages and its administrator say, and the decision for one registration.
//
// A policy line is `own PATTERN user NAME` or `own PATTERN group NAME`, or the same with
// `monitor` for the right to watch the calls to a name's host; `#` starts a comment and
// blank lines are ignored. PATTERN is a whole name, or a prefix followed by `*`. Every
// line whose pattern matches a name grants it; a line that cannot be read grants nothing
// and is reported as "FILE:LINE: WHY". `monitor` lines neither grant nor keep from anyone
// the holding of a name.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/base/parcel.h"
#include "platform/text/string16.h"
#include "platform/text/string8.h"
#include "registry/limits.h"

namespace zorlek::registry {

class LogLimit;
struct Peer;
struct ServerOptions;

// Finds the users and groups that policy lines name: the system's databases by default,
// tables of their own in tests.
class Accounts {
  public:
    virtual std::optional<uid_t> user(const char* name) const = 0;
    virtual std::optional<gid_t> group(const char* name) const = 0;

  protected:
    ~Accounts() = default;
};

// The system's user and group databases (getpwnam_r, getgrnam_r).
const Accounts& systemAccounts();

// The policy's bounds (kMaxPolicyFileBytes, kMaxPolicyFiles, kMaxPolicyRules) are in
// registry/limits.h.

class Policy {
  public:
    // Reads the lines of one file's `text`; `file` names it in the problems. Each line that
    // cannot be read grants nothing and appends "FILE:LINE: WHY" to `problems`. A line
    // naming a user or group that does not exist still keeps its pattern from others, so
    // that a name meant for an account not yet made is never open to everyone.
    void addText(const char* file, std::string_view text, const Accounts& accounts,
                 std::vector<String8>* problems);

    // Reads every `*.conf` file of `folders`, in file-name order; a file in a later folder
    // replaces one of the same name in an earlier one. A missing folder holds no files.
    //
    // Only what root alone may change is read: a folder or file writable by its group or
    // by every user, or owned by another user than root (or the registry's own), and a
    // link to such a file, is not; nor is a file that is not regular or passes
    // kMaxPolicyFileBytes. Each goes to `problems` as "PATH:0: WHY", like the problems of
    // the lines.
    //
    // Read again over `before` (the policy its last read gave), a folder that cannot be
    // read or trusted now keeps the files it held then, and a file that cannot keeps the
    // rules it gave then, until root mends it ("; keeping its last good read" says so); a
    // file gone from a folder that was read takes its rules with it.
    static Policy load(const std::vector<String8>& folders, const Accounts& accounts,
                       std::vector<String8>* problems, const Policy* before = nullptr);

    // Whether a process running as `uid`, with the group `gid` and the supplementary
    // `groups`, may hold `name`; `*matched` tells whether any line's pattern matches it.
    // When not granted, `*why` says who may hold it, or that no line grants it.
    bool grants(const String16& name, uid_t uid, gid_t gid, const std::vector<gid_t>& groups,
                bool* matched, String8* why) const;

    // Whether a `monitor` line grants a process of `uid`, `gid` and `groups` the watching
    // of the calls to `name`'s host.
    bool grantsMonitor(const String16& name, uid_t uid, gid_t gid,
                       const std::vector<gid_t>& groups) const;

    size_t ruleCount() const { return rules_.size(); }

  private:
    struct Rule {
        std::u16string prefix;
        bool wholeName = true;       // the pattern is a whole name, not a prefix
        bool group = false;          // grants a group rather than a user
        bool monitor = false;        // a `monitor` line rather than an `own` one
        std::optional<uint32_t> id;  // empty: the account does not exist
        String8 account;

        bool matches(const String16& name) const;
        // Whether it names `uid`, or `gid` or one of `groups`; never for a missing account.
        bool grantsTo(uid_t uid, gid_t gid, const std::vector<gid_t>& groups) const;
    };
    // Appends the rules [first, last) of `from`, within kMaxPolicyRules; false when some
    // did not fit.
    bool keepRules(const Policy& from, size_t first, size_t last);
    // Each `*.conf` name, from the last of `folders` that has it: its path, and whether that
    // folder was read now (else the file keeps its last good read, from `before`).
    using Sources = std::map<std::string, std::pair<String8, bool>>;
    Sources listFolders(const std::vector<String8>& folders, std::vector<String8>* problems,
                        const Policy* before);
    // Reads the rules of `files`, or keeps those `before` had of the ones not read now.
    void readFiles(const Sources& files, const Accounts& accounts, std::vector<String8>* problems,
                   const Policy* before);
    // What this policy's read found good of a folder, or of a file; null when nothing.
    const std::vector<std::string>* lastListing(const String8& folder) const;
    const std::pair<size_t, size_t>* lastRules(const String8& file) const;

    std::vector<Rule> rules_;
    // What the read that made this policy found good: the `*.conf` names of each folder,
    // and where the rules of each file lie in rules_.
    std::map<std::string, std::vector<std::string>> folders_;
    std::map<std::string, std::pair<size_t, size_t>> files_;
};

// For the readers of the policy: appends "FILE:LINE: WHY" to `problems`.
void reportProblem(std::vector<String8>* problems, const char* file, size_t line,
                   const String8& why);

// The folders read by default: the packages' (DATADIR/zorlek/registry.d, found from where
// the program lies) and the administrator's (/etc/zorlek/registry.d), in that order.
std::vector<String8> defaultPolicyFolders();

// The supplementary groups the kernel reports for the peer of the connected socket `sock`
// (SO_PEERGROUPS), at most NGROUPS_MAX; empty when it reports none or cannot say.
std::vector<gid_t> peerGroups(int sock);

// Whether `from` may hold `name`: root and the registry's own user may hold any name; a
// name some policy line matches goes only to those the lines grant; any other name only
// under --allow-any-user. When not, `*why` says who may hold it.
bool grantedTo(const ServerOptions& options, const Peer& from, const String16& name, String8* why);

// Whether `from` may watch the calls to `name`, held by a process of the user `holder`:
// root, that user itself, and those a `monitor` line grants the name.
bool monitorGrantedTo(const ServerOptions& options, const Peer& from, uid_t holder,
                      const String16& name);

// Decides a registration by `from`, as grantedTo(). A refusal writes one log line (when
// `limit`, if given, admits it) and the reason into `answer`.
bool permitRegistration(const ServerOptions& options, const Peer& from, const String16& name,
                        Parcel* answer, LogLimit* limit = nullptr);

}  // namespace zorlek::registry
