// SPDX-License-Identifier: Apache-2.0
// The stage of the trust tests: a registry at a socket that every user can reach, a
// root-owned victim, and attackers run as other users (zorlek-abuse through setpriv).
#pragma once

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/integration/reliability_support.h"

namespace zorlek::test {

constexpr uid_t kAttacker = 65534;

// The number after "key=" in `text`; -1 when it is not there.
inline long countOf(const std::string& text, const std::string& key) {
    size_t at = text.find(key + "=");
    return at == std::string::npos ? -1 : std::atol(text.c_str() + at + key.size() + 1);
}

// A registry at a socket that every user can reach, a root-owned victim, and attackers;
// everything is stopped at the end, attackers first.
struct Trust : ::testing::Test {
    TempDir dir;
    std::string path = dir.path() + "/registry.sock";
    std::unique_ptr<Process> registry;
    std::unique_ptr<Process> victim;
    std::vector<std::unique_ptr<Process>> attackers;

    void SetUp() override {
        if (::geteuid() != 0 || ::access(kSetpriv, X_OK) != 0) {
            GTEST_SKIP() << "needs root and setpriv to attack as another user";
        }
        ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    }
    EnvChanges env() const { return {"ZORLEK_REGISTRY=" + path}; }
    bool startRegistry(std::vector<std::string> args = {}, std::vector<std::string> launcher = {}) {
        registry = startRegistryAt(path, std::move(args), std::move(launcher));
        return registry != nullptr;
    }
    // zorlek-echo serving `name` (descriptor "victim.IEcho"), started through `launcher`.
    bool startVictim(const std::string& name, std::vector<std::string> launcher = {}) {
        launcher.insert(launcher.end(),
                        {binPath("zorlek-echo"), "--descriptor", "victim.IEcho", name});
        victim = Process::start(launcher, env());
        return victim && victim->waitForLine("ready", 10000);
    }
    // Starts zorlek-abuse as `uid` with `args`; its line of counts once its attack is in
    // place, or "" when it did not get there.
    std::string attack(const std::vector<std::string>& args, uid_t uid = kAttacker) {
        std::vector<std::string> argv = {ZORLEK_ABUSE};
        argv.insert(argv.end(), args.begin(), args.end());
        attackers.push_back(Process::start(asUser(uid, argv), env()));
        Process* attacker = attackers.back().get();
        if (attacker == nullptr || !attacker->waitForLine("ready", 20000)) return "";
        return attacker->outText().substr(0, attacker->outText().find('\n'));
    }
    // Empty when root lists `name`, and a channel it looks up now answers as the victim
    // (its descriptor, and an echo byte for byte); else what failed, after trying for
    // `timeoutMs`.
    std::string victimServes(const std::string& name, int timeoutMs = 3000) {
        std::string failure;
        Random random{8};
        waitUntil(
            [&] {
                sp<RegistryClient> client = RegistryClient::connect(path.c_str(), 2000);
                Vector<String16> names;
                sp<IBinder> object;
                status_t status = client ? client->list(&names) : -ECONNREFUSED;
                if (status == OK &&
                    std::count(names.begin(), names.end(), String16(name.c_str())) == 0) {
                    status = -ENOENT;
                }
                if (status == OK) status = client->lookup(String16(name.c_str()), &object);
                if (status != OK) {
                    failure = "root's listing or lookup failed with " + std::to_string(status);
                    return false;
                }
                if (descriptorOf(object, &status) != String16("victim.IEcho") || status != OK) {
                    failure = "the descriptor query failed with " + std::to_string(status);
                    return false;
                }
                failure = echoCall(object, random, 256);
                return failure.empty();
            },
            timeoutMs);
        return failure;
    }
};

}  // namespace zorlek::test
