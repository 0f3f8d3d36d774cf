// SPDX-License-Identifier: Apache-2.0
// Several users against the registry and a root-owned service at once, and what each
// leaves the others: descriptors handed out and never taken, channels and memory of a
// host, a kernel that carries no more descriptors, a host out of memory, and names. Each
// limit holds for the sum of the users as well as for each.

#include "tests/integration/trust_support.h"

namespace zorlek::test {
namespace {

// Descriptors the registry hands out to users that never take them: one user hosts 200
// names on connections that never read, another looks them all up over 30 connections and
// never reads the answers. Each first lookup of a host would make a channel: both its ends
// wait, in the registry's queues or in flight in the kernel, charged to the one who asked.
TEST_F(Trust, DescriptorsHandedOutButNeverTakenStayWithinTheAskersShare) {
    ASSERT_TRUE(startRegistry({"--allow-any-user"}, {"/usr/bin/prlimit", "--nofile=1024:1024"}));
    ASSERT_TRUE(startVictim("victim"));
    std::string hosts = attack({"hosts", "spread", "200"}, kAttacker - 1);
    EXPECT_EQ(countOf(hosts, "hosts"), 200) << hosts;
    std::string counts = attack({"spread", "spread", "200", "30"});
    EXPECT_EQ(countOf(counts, "connections"), 30) << counts;
    Footprint during = footprintOf(registry->pid());
    // Root lists, looks up and calls, and a new root service registers, as ever. The
    // attacker's hosts never answer: together they cost the listing one call timeout.
    EnvChanges shortWait = env();
    shortWait.push_back("ZORLEK_CALL_TIMEOUT_MS=1000");
    RunResult list = runProgram({binPath("zorlek"), "list"}, shortWait, 20000);
    EXPECT_EQ(list.exitCode, 0) << list.err;
    EXPECT_NE(list.out.find("\tvictim: [victim.IEcho]\n"), std::string::npos) << list.out;
    EXPECT_EQ(victimServes("victim"), "");
    auto late = Process::start({binPath("zorlek-echo"), "late"}, env());
    ASSERT_TRUE(late);
    EXPECT_TRUE(late->waitForLine("ready", 5000)) << late->errText();
    // The asker got its share of channels, 128 (both ends charged), and was refused the rest.
    ASSERT_EQ(::kill(attackers.back()->pid(), SIGUSR1), 0);
    EXPECT_TRUE(attackers.back()->waitForLine("answered", 8000));
    const std::string& out = attackers.back()->outText();
    std::string answers = out.substr(std::min(out.find("ok="), out.size()));
    answers.resize(std::min(answers.find('\n'), answers.size()));
    EXPECT_EQ(countOf(answers, "ok"), 128) << answers;
    EXPECT_EQ(countOf(answers, "again"), 30 * 200 - 128) << answers;
    EXPECT_LT(during.fds, 1024 - 64) << describe(during);
    std::printf("%s; %s; answers: %s; the registry held %s\n", hosts.c_str(), counts.c_str(),
                answers.c_str(), describe(during).c_str());
}

// A registry run as its own user, with few descriptors: the kernel takes no more of its
// descriptors in flight (ETOOMANYREFS) once stopped hosts hold more channels than its
// limit. The lookups that find no room are refused with why; no host loses its names.
TEST_F(Trust, AChannelTheKernelWillNotCarryRefusesTheLookupAndKeepsTheHost) {
    const uid_t registryUser = 65530;
    ASSERT_EQ(::chown(dir.path().c_str(), registryUser, registryUser), 0);
    ASSERT_TRUE(startRegistry({}, {"/usr/bin/prlimit", "--nofile=64:64", kSetpriv,
                                   "--reuid=" + std::to_string(registryUser),
                                   "--regid=" + std::to_string(registryUser), "--clear-groups"}));
    std::vector<std::unique_ptr<Process>> hosts;
    for (int h = 0; h < 4; ++h) {
        hosts.push_back(Process::start({binPath("zorlek-echo"), "h" + std::to_string(h)}, env()));
        ASSERT_TRUE(hosts.back() && hosts.back()->waitForLine("ready", 10000)) << h;
        ASSERT_EQ(::kill(hosts.back()->pid(), SIGSTOP), 0);
    }
    // Twenty clients each look up every host's name: a channel each, whose host end stays
    // in flight to the stopped host.
    std::vector<sp<RegistryClient>> clients;
    std::vector<sp<IBinder>> held;
    long found = 0, refused = 0, other = 0;
    status_t otherStatus = OK;
    for (int c = 0; c < 20; ++c) {
        clients.push_back(RegistryClient::connect(path.c_str(), 500));
        ASSERT_TRUE(clients.back()) << c;
        for (int h = 0; h < 4; ++h) {
            sp<IBinder> object;
            status_t status =
                clients.back()->lookup(String16(("h" + std::to_string(h)).c_str()), &object);
            if (status == OK) held.push_back(object);
            if (status != OK && status != -ETOOMANYREFS) otherStatus = status;
            ++*(status == OK ? &found : status == -ETOOMANYREFS ? &refused : &other);
        }
    }
    for (auto& process : hosts) ::kill(process->pid(), SIGCONT);
    EXPECT_GT(found, 0);
    EXPECT_GT(refused, 0) << "the kernel's limit was reached";
    EXPECT_EQ(other, 0) << otherStatus;
    EXPECT_EQ(registry->errText().find("removed"), std::string::npos) << registry->errText();
    // Once they read again, every host is reached.
    held.clear();
    for (int h = 0; h < 4; ++h) {
        EXPECT_TRUE(waitUntil(
            [&] {
                sp<RegistryClient> client = RegistryClient::connect(path.c_str(), 2000);
                sp<IBinder> object =
                    client ? client->lookupService(String16(("h" + std::to_string(h)).c_str()))
                           : nullptr;
                Parcel reply;
                return object && object->sendTransaction(1, Parcel(), &reply, 0) == OK;
            },
            5000))
            << h;
    }
    std::printf("lookups: %ld found, %ld refused with ETOOMANYREFS\n", found, refused);
}

// Four users each take as many channels as they may of a victim limited to 1,024
// descriptors: together they stop short of the share kept for root.
TEST_F(Trust, ChannelsOfManyUsersTogetherLeaveRootItsShareOfAHost) {
    ASSERT_TRUE(startRegistry());
    ASSERT_TRUE(startVictim("victim", {"/usr/bin/prlimit", "--nofile=1024:1024"}));
    std::vector<std::string> counts;
    long live = 0;
    for (uid_t uid : {kAttacker, kAttacker - 1, kAttacker - 2, kAttacker - 3}) {
        counts.push_back(attack({"channels", "victim", "300", "2000"}, uid));
        live += countOf(counts.back(), "live");
    }
    // The host serves at most 1,024 - 64 channels; the last eighth of them (120) is kept.
    EXPECT_EQ(countOf(counts[0], "live"), 256) << counts[0];
    EXPECT_EQ(live, 960 - 120) << counts[0] << " | " << counts[3];
    RunResult call = runProgram({binPath("zorlek"), "call", "victim", "1"}, env(), 5000);
    EXPECT_EQ(call.exitCode, 0) << call.err;
    RunResult list = runProgram({binPath("zorlek"), "list"}, env(), 5000);
    EXPECT_EQ(list.out, "Found 1 services:\n0\tvictim: [victim.IEcho]\n");
    EXPECT_EQ(victimServes("victim"), "");
    std::printf("%s | %s | %s | %s\n", counts[0].c_str(), counts[1].c_str(), counts[2].c_str(),
                counts[3].c_str());
}

// Four users send large calls to the victim and never read the replies: together they
// hold what all other users may, not four times what one may.
TEST_F(Trust, LargeCallsOfManyUsersTogetherStayWithinTheOthersShareOfAHost) {
    if (kSanitized) GTEST_SKIP() << "the sanitizers keep freed memory on purpose";
    ASSERT_TRUE(startRegistry());
    ASSERT_TRUE(startVictim("victim"));
    Footprint before = quietFootprintOf(victim->pid());
    std::vector<std::string> counts;
    for (uid_t uid : {kAttacker, kAttacker - 1, kAttacker - 2, kAttacker - 3}) {
        counts.push_back(attack({"big", "victim", "32"}, uid));
    }
    Footprint during = footprintOf(victim->pid());
    // 32 MiB for them all, a 16 KiB buffer and a partly read request on each channel.
    EXPECT_LT(during.rssKb - before.rssKb, 48 * 1024) << describe(during);
    EXPECT_EQ(victimServes("victim"), "");
    std::printf("%s | %s | %s | %s; %s before, %s during\n", counts[0].c_str(), counts[1].c_str(),
                counts[2].c_str(), counts[3].c_str(), describe(before).c_str(),
                describe(during).c_str());
}

// The same against a victim whose address space is limited: allocations fail, and it goes
// on serving and keeps its name.
TEST_F(Trust, AHostOutOfMemoryGoesOnServingAndKeepsItsName) {
    if (kSanitized) GTEST_SKIP() << "the sanitizers need far more address space";
    ASSERT_TRUE(startRegistry());
    ASSERT_TRUE(startVictim("victim", {"/usr/bin/prlimit", "--as=50000000"}));
    std::vector<std::string> counts;
    for (uid_t uid : {kAttacker, kAttacker - 1, kAttacker - 2, kAttacker - 3}) {
        counts.push_back(attack({"big", "victim", "64"}, uid));
    }
    EXPECT_TRUE(victim->running());
    attackers.clear();
    EXPECT_EQ(victimServes("victim"), "");
    EXPECT_TRUE(victim->running());
    EXPECT_EQ(registry->errText().find("removed victim"), std::string::npos) << "kept its name";
    std::printf("%s | %s | %s | %s\n", counts[0].c_str(), counts[1].c_str(), counts[2].c_str(),
                counts[3].c_str());
}

TEST_F(Trust, NamesOfOneUserAreCappedHoweverManyConnectionsItUses) {
    ASSERT_TRUE(startRegistry({"--allow-any-user"}));
    ASSERT_TRUE(startVictim("victim"));
    // One user on three connections, then a second user.
    long registered = 0, refused = 0;
    status_t first = OK;
    for (const char* prefix : {"spam", "more", "again"}) {
        std::string counts = attack({"register", prefix, "700"});
        registered += countOf(counts, "registered");
        refused += countOf(counts, "refused");
        if (first == OK) first = static_cast<status_t>(countOf(counts, "first"));
    }
    EXPECT_EQ(registered, 1024);
    EXPECT_EQ(refused, 3 * 700 - 1024);
    EXPECT_EQ(first, -EDQUOT);
    std::string other = attack({"register", "other", "700"}, kAttacker - 1);
    EXPECT_EQ(countOf(other, "registered"), 700) << other;
    // Every name of theirs is listed, and nothing more: the listing stays whole for root.
    // Their hosts never answer, which costs the listing one call timeout.
    EnvChanges shortWait = env();
    shortWait.push_back("ZORLEK_CALL_TIMEOUT_MS=1000");
    RunResult list = runProgram({binPath("zorlek"), "list"}, shortWait, 20000);
    EXPECT_EQ(list.exitCode, 0) << list.err;
    EXPECT_EQ(list.out.rfind("Found 1725 services:\n", 0), 0u) << list.out.substr(0, 40);
    EXPECT_EQ(victimServes("victim"), "");
    // The log holds one line per name it took.
    std::string log = registry->errText();
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1 + 1024 + 700) << "lines in the log";
}

}  // namespace
}  // namespace zorlek::test
