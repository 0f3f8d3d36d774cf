// SPDX-License-Identifier: Apache-2.0
#include "registry/policy.h"

#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <string>

#include "platform/base/deadline.h"
#include "platform/text.h"
#include "registry/log_limit.h"
#include "registry/name_table.h"
#include "registry/peer.h"
#include "registry/server_options.h"

namespace zorlek::registry {
namespace {

class SystemAccounts final : public Accounts {
  public:
    std::optional<uid_t> user(const char* name) const override {
        passwd entry{};
        passwd* found = nullptr;
        char buffer[kUserEntryBytes];
        if (::getpwnam_r(name, &entry, buffer, sizeof buffer, &found) != 0 || !found) return {};
        return found->pw_uid;
    }
    std::optional<gid_t> group(const char* name) const override {
        ::group entry{};
        ::group* found = nullptr;
        // Groups list their members: a large one needs more room than a user's entry.
        for (size_t room = kFirstGroupEntryBytes; room <= kMaxGroupEntryBytes; room *= 4) {
            std::string buffer(room, '\0');
            int error = ::getgrnam_r(name, &entry, buffer.data(), buffer.size(), &found);
            if (error == 0 && found != nullptr) return found->gr_gid;
            if (error != ERANGE) break;
        }
        return {};
    }
};

// The words of `line` between spaces and tabs; counts all of them, keeps the first `max`.
size_t splitWords(std::string_view line, std::string_view* words, size_t max) {
    size_t count = 0, at = 0;
    while (at < line.size()) {
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
        size_t start = at;
        while (at < line.size() && line[at] != ' ' && line[at] != '\t') ++at;
        if (at == start) break;
        if (count < max) words[count] = line.substr(start, at - start);
        ++count;
    }
    return count;
}

String8 shown(std::string_view bytes) {
    return narrowForDisplay(String16(bytes.data(), bytes.size()));
}

// Why `pattern` is not one; null when it is.
const char* patternProblem(std::string_view pattern, std::u16string* prefix, bool* whole) {
    *whole = pattern.empty() || pattern.back() != '*';
    if (!*whole) pattern.remove_suffix(1);
    if (pattern.find('*') != std::string_view::npos) return "'*' may only end a pattern";
    String16 units(pattern.data(), pattern.size());
    if (units.view().find(u'\uFFFD') != std::u16string_view::npos) return "not UTF-8";
    if ((*whole || units.size() > 0) && validateName(units) != OK) {
        static const std::string notAName = "not a name (1 to " + std::to_string(kMaxNameUnits) +
                                            " UTF-16 code units, no control characters)";
        return notAName.c_str();
    }
    *prefix = units.view();
    return nullptr;
}

}  // namespace

void reportProblem(std::vector<String8>* problems, const char* file, size_t line,
                   const String8& why) {
    String8 text(file);
    text.append(":").append(std::to_string(line).c_str()).append(": ").append(why.c_str());
    problems->push_back(std::move(text));
}

const Accounts& systemAccounts() {
    static const SystemAccounts accounts;
    return accounts;
}

void Policy::addText(const char* file, std::string_view text, const Accounts& accounts,
                     std::vector<String8>* problems) {
    size_t number = 0;
    while (!text.empty()) {
        ++number;
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        line = line.substr(0, line.find('#'));
        std::string_view words[4];
        size_t count = splitWords(line, words, 4);
        if (count == 0) continue;
        String8 why;
        Rule rule;
        const char* problem = nullptr;
        rule.monitor = words[0] == "monitor";
        if (words[0] != "own" && !rule.monitor) {
            why.append("unknown word '").append(shown(words[0]).c_str()).append("'");
        } else if (count != 4) {
            why.append(rule.monitor
                           ? "a line is: monitor PATTERN user NAME, or monitor PATTERN group NAME"
                           : "a line is: own PATTERN user NAME, or own PATTERN group NAME");
        } else if (words[2] != "user" && words[2] != "group") {
            why.append("unknown word '").append(shown(words[2]).c_str()).append("'");
        } else if ((problem = patternProblem(words[1], &rule.prefix, &rule.wholeName))) {
            why.append("bad pattern '")
                .append(shown(words[1]).c_str())
                .append("': ")
                .append(problem);
        } else if (rules_.size() >= kMaxPolicyRules) {
            why.append("more than ")
                .append(std::to_string(kMaxPolicyRules).c_str())
                .append(" lines grant names; not read");
        } else {
            rule.group = words[2] == "group";
            rule.account = String8(std::string(words[3]).c_str());
            rule.id = rule.group ? accounts.group(rule.account.c_str())
                                 : accounts.user(rule.account.c_str());
            if (!rule.id) {
                why.append(rule.group ? "unknown group '" : "unknown user '")
                    .append(shown(words[3]).c_str())
                    .append("'");
            }
            // The pattern stays taken by a line whose account is missing: it grants nobody.
            rules_.push_back(std::move(rule));
        }
        if (why.size() > 0) reportProblem(problems, file, number, why);
    }
}

bool Policy::grants(const String16& name, uid_t uid, gid_t gid, const std::vector<gid_t>& groups,
                    bool* matched, String8* why) const {
    *matched = false;
    std::vector<const Rule*> grantees;
    for (const Rule& rule : rules_) {
        if (rule.monitor || !rule.matches(name)) continue;
        *matched = true;
        if (!rule.id) continue;
        if (rule.grantsTo(uid, gid, groups)) return true;
        auto same = [&rule](const Rule* other) {
            return other->group == rule.group && other->id == rule.id;
        };
        if (std::none_of(grantees.begin(), grantees.end(), same)) grantees.push_back(&rule);
    }
    why->clear();
    if (grantees.empty()) {
        why->append("no policy line grants it");
        return false;
    }
    why->append("only ");
    for (size_t i = 0; i < grantees.size() && i < kNamedGrantees; ++i) {
        if (i > 0) why->append(i + 1 == grantees.size() ? " or " : ", ");
        why->append(grantees[i]->group ? "group " : "user ");
        why->append(shown(grantees[i]->account.c_str()).c_str());
    }
    if (grantees.size() > kNamedGrantees) why->append(" and others");
    why->append(" may hold it");
    return false;
}

bool Policy::Rule::matches(const String16& name) const {
    std::u16string_view units = name.view();
    return wholeName ? units == prefix : units.starts_with(prefix);
}

bool Policy::Rule::grantsTo(uid_t uid, gid_t gid, const std::vector<gid_t>& groups) const {
    if (!id) return false;
    if (!group) return *id == uid;
    return *id == gid || std::find(groups.begin(), groups.end(), *id) != groups.end();
}

bool Policy::grantsMonitor(const String16& name, uid_t uid, gid_t gid,
                           const std::vector<gid_t>& groups) const {
    for (const Rule& rule : rules_) {
        if (rule.monitor && rule.matches(name) && rule.grantsTo(uid, gid, groups)) return true;
    }
    return false;
}

std::vector<gid_t> peerGroups(int sock) {
    // Most users are in a few groups: one call then; the kernel says how much room more take.
    std::vector<gid_t> groups(32);
    for (int tries = 0; tries < 2; ++tries) {
        auto length = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
        if (::getsockopt(sock, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &length) == 0) {
            groups.resize(length / sizeof(gid_t));
            return groups;
        }
        if (errno != ERANGE || length / sizeof(gid_t) > NGROUPS_MAX) break;
        groups.resize(length / sizeof(gid_t));
    }
    return {};
}

bool grantedTo(const ServerOptions& options, const Peer& from, const String16& name, String8* why) {
    uid_t uid = from.credentials.uid;
    if (trustedUser(uid, options)) return true;
    bool matched = false;
    *why = String8("no policy line grants it");
    if (options.policy != nullptr &&
        options.policy->grants(name, uid, from.credentials.gid, from.groups, &matched, why)) {
        return true;
    }
    // --allow-any-user opens the names no line speaks of, never one granted to others.
    return !matched && options.allowAnyUser;
}

bool monitorGrantedTo(const ServerOptions& options, const Peer& from, uid_t holder,
                      const String16& name) {
    uid_t uid = from.credentials.uid;
    if (uid == 0 || uid == holder) return true;
    return options.policy != nullptr &&
           options.policy->grantsMonitor(name, uid, from.credentials.gid, from.groups);
}

bool permitRegistration(const ServerOptions& options, const Peer& from, const String16& name,
                        Parcel* answer, LogLimit* limit) {
    String8 why;
    if (grantedTo(options, from, name, &why)) return true;
    uid_t uid = from.credentials.uid;
    if (limit == nullptr || limit->admit(uid, monotonicMs())) {
        aerr << "zorlek-registry: refused " << narrowForDisplay(name) << " to uid "
             << static_cast<uint32_t>(uid) << " (pid " << static_cast<int32_t>(from.credentials.pid)
             << "): " << why << endl;
    }
    // Every peer past the handshake reads the reason.
    answer->writeString16(String16(why.c_str()));
    return false;
}

}  // namespace zorlek::registry
