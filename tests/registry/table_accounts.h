// SPDX-License-Identifier: Apache-2.0
// Accounts for policy tests: a fixed table of users and groups, with no system files read.
#pragma once

#include <cctype>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>

#include "registry/policy.h"

namespace zorlek::registry {

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

}  // namespace zorlek::registry
