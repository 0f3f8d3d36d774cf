// SPDX-License-Identifier: Apache-2.0
// Descriptors another user attaches to stall whoever closes them last: a socket whose last
// close blocks for as long as the attacker chose, on a greeting, a lookup, a call and a
// message of the type that carries a channel's end, once read by the receiver and once
// left unread in a socket the receiver closes. The registry
// runs in this process on a thread, so that it can run as on a kernel that cannot refuse
// descriptors too; the victim is a root zorlek-echo, the attacker zorlek-abuse as another
// user. Root must be served as ever: listed, looked up and called.

#include <signal.h>

#include "platform/transport/fd_closer.h"
#include "tests/integration/registry_thread.h"
#include "tests/integration/trust_support.h"

namespace zorlek::test {
namespace {

// Far longer than any wait below: a stalled registry or host shows.
constexpr const char* kLingerSeconds = "30";

// Each case: whether the kernel refuses descriptors, and what carries them.
struct LingeringDescriptors : Trust, ::testing::WithParamInterface<std::tuple<bool, const char*>> {
    void TearDown() override { refusalByKernelForTesting(true); }
};

// The registry's thread and the closer thread of this process may hold the attacker's
// descriptors for a while: a process started from here then would hold a copy until its
// exec, and that copy's close could be the one that waits. So every process starts before
// the registry reads a byte of the attack, and root's listing and call are made from here.
TEST_P(LingeringDescriptors, NeitherTheRegistryNorAHostWaitsForThem) {
    auto [kernelRefuses, carrier] = GetParam();
    const std::string what = carrier;
    refusalByKernelForTesting(kernelRefuses);
    registry::ServerOptions options;
    options.registryUid = 0;
    // Greetings past the first connection of a user are refused unread.
    if (what == "greeting") options.maxConnectionsPerUser = 1;
    RegistryThread registryThread(path, options);
    ASSERT_TRUE(registryThread.listening());
    // Before the registry's thread is joined, also on failure, the attackers go: their
    // lingering sockets then reset, and a close that waits for one ends.
    struct AttackersFirst {
        Trust& stage;
        ~AttackersFirst() { stage.attackers.clear(); }
    } attackersFirst{*this};
    victim =
        Process::start({binPath("zorlek-echo"), "--descriptor", "victim.IEcho", "victim"}, env());
    ASSERT_TRUE(victim);
    std::string counts;
    bool onChannels = what == "call" || what == "channel-call";
    if (!onChannels) counts = attack({"linger", what, "victim", kLingerSeconds});
    registryThread.start();
    ASSERT_TRUE(victim->waitForLine("ready", 10000));
    if (onChannels) {
        ASSERT_NE(attack({"linger", what, "victim", kLingerSeconds}), "");
        // The malformed call and the one behind it arrive together, read at once.
        ASSERT_EQ(::kill(victim->pid(), SIGSTOP), 0);
        ASSERT_EQ(::kill(attackers.back()->pid(), SIGUSR1), 0);
        bool sent = attackers.back()->waitForLine("sent", 10000);
        ::kill(victim->pid(), SIGCONT);
        ASSERT_TRUE(sent);
        const std::string& out = attackers.back()->outText();
        counts = out.substr(out.find("carried="));
        counts.resize(counts.find('\n'));
    }
    long offered = what == "greeting" ? 1 : 2;
    EXPECT_EQ(countOf(counts, "carried"), kernelRefuses ? 0 : offered) << counts;
    // Root lists, looks the victim up, asks its descriptor and calls it; each wait bounded
    // by 2 s, and all of it by 10 s, where a stall lasts 30 s.
    auto start = Clock::now();
    EXPECT_EQ(victimServes("victim", 10000), "");
    std::printf("%s%s: %s; root served in %lld ms\n", carrier,
                kernelRefuses ? "" : " (as on an older kernel)", counts.c_str(),
                static_cast<long long>(msSince(start)));
}

// Besides a greeting, a lookup and a call, a message of the type that carries a channel's
// end, which the receiver's reader hands over with the descriptor before the receiver
// refuses it: to the registry, and over a channel to a host.
INSTANTIATE_TEST_SUITE_P(OnAGreetingALookupAndACall, LingeringDescriptors,
                         ::testing::Combine(::testing::Bool(),
                                            ::testing::Values("greeting", "lookup", "call",
                                                              "channel", "channel-call")));

}  // namespace
}  // namespace zorlek::test
