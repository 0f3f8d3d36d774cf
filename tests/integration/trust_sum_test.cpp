// SPDX-License-Identifier: Apache-2.0
// Several users against the registry and a root-owned service at once, and what each
// leaves the others: descriptors handed out and never taken, channels and memory of a
// host, a kernel that carries no more descriptors, a host out of memory, and names. Each
// limit holds for the sum of the users as well as for each.

#include <sys/ioctl.h>

#include "registry/name_table.h"
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

// A registry run as its own user (65530), with 64 descriptors, so that the kernel carries
// no more of its descriptors in flight (ETOOMANYREFS) once stopped hosts hold more.
bool startRegistryAsItsOwnUser(Trust& stage) {
    const uid_t registryUser = 65530;
    return ::chown(stage.dir.path().c_str(), registryUser, registryUser) == 0 &&
           stage.startRegistry({}, {"/usr/bin/prlimit", "--nofile=64:64", kSetpriv,
                                    "--reuid=" + std::to_string(registryUser),
                                    "--regid=" + std::to_string(registryUser), "--clear-groups"});
}

// Four hosts, h0 to h3, stopped; twenty clients each look up every one: a channel each,
// whose host end stays in flight to the stopped host, until the kernel carries no more.
struct ChannelsInFlight {
    std::vector<std::unique_ptr<Process>> hosts;
    std::vector<sp<RegistryClient>> clients;
    std::vector<sp<IBinder>> held;
    long found = 0, refused = 0, other = 0;
    status_t otherStatus = OK;

    bool start(Trust& stage) {
        for (int h = 0; h < 4; ++h) {
            hosts.push_back(
                Process::start({binPath("zorlek-echo"), "h" + std::to_string(h)}, stage.env()));
            if (!hosts.back() || !hosts.back()->waitForLine("ready", 10000) ||
                ::kill(hosts.back()->pid(), SIGSTOP) != 0) {
                return false;
            }
        }
        for (int c = 0; c < 20; ++c) {
            clients.push_back(RegistryClient::connect(stage.path.c_str(), 500));
            if (!clients.back()) return false;
            for (int h = 0; h < 4; ++h) {
                sp<IBinder> object;
                status_t status =
                    clients.back()->lookup(String16(("h" + std::to_string(h)).c_str()), &object);
                if (status == OK) held.push_back(object);
                if (status != OK && status != -ETOOMANYREFS) otherStatus = status;
                ++*(status == OK ? &found : status == -ETOOMANYREFS ? &refused : &other);
            }
        }
        return true;
    }
    // The hosts run again and take their channels: true once each is reached again.
    bool drain(const std::string& path) {
        for (auto& process : hosts) ::kill(process->pid(), SIGCONT);
        held.clear();
        for (int h = 0; h < 4; ++h) {
            bool reached = waitUntil(
                [&] {
                    sp<RegistryClient> client = RegistryClient::connect(path.c_str(), 2000);
                    sp<IBinder> object =
                        client ? client->lookupService(String16(("h" + std::to_string(h)).c_str()))
                               : nullptr;
                    Parcel reply;
                    return object && object->sendTransaction(1, Parcel(), &reply, 0) == OK;
                },
                5000);
            if (!reached) return false;
        }
        return true;
    }
};

// The lookups that find no room in flight are refused with why; no host loses its names.
TEST_F(Trust, AChannelTheKernelWillNotCarryRefusesTheLookupAndKeepsTheHost) {
    ASSERT_TRUE(startRegistryAsItsOwnUser(*this));
    ChannelsInFlight inFlight;
    ASSERT_TRUE(inFlight.start(*this));
    EXPECT_GT(inFlight.found, 0);
    EXPECT_GT(inFlight.refused, 0) << "the kernel's limit was reached";
    EXPECT_EQ(inFlight.other, 0) << inFlight.otherStatus;
    EXPECT_EQ(registry->errText().find("removed"), std::string::npos) << registry->errText();
    // Once they read again, every host is reached.
    EXPECT_TRUE(inFlight.drain(path));
    std::printf("lookups: %ld found, %ld refused with ETOOMANYREFS\n", inFlight.found,
                inFlight.refused);
}

// A lookup answer whose channel waited in the registry's queue, and then went without it
// (the kernel would carry no more): the client never got that channel, so its next lookup
// of the host brings one, not the handle alone.
TEST_F(Trust, AChannelThatWentWithoutItsDescriptorIsNotTheClients) {
    ASSERT_TRUE(startRegistryAsItsOwnUser(*this));
    // Listing pages of 31 KiB: a few fill the socket of a client that does not read.
    std::vector<std::string> names = manyNames(150, 100);
    names.insert(names.begin(), binPath("zorlek-echo"));
    auto pages = Process::start(names, env());
    ASSERT_TRUE(pages && pages->waitForLine("ready", 10000));
    auto raw = [&] {
        unique_fd sock;
        connectUnix(path.c_str(), 2000, &sock);
        return RawPeer(std::move(sock));
    };
    RawPeer asker = raw();
    ASSERT_TRUE(asker.hello());
    auto unread = [&] {
        int bytes = 0;
        return ::ioctl(asker.sock.get(), FIONREAD, &bytes) == 0 ? bytes : -1;
    };
    Bytes list = message(MSG_LIST, bytesOf([] {
                             Parcel start;
                             start.writeNullString16();
                             return start;
                         }()));
    // The asker asks for a page and registers a name of its own, and reads nothing, until
    // what it was sent waits in the registry's queue for want of room in its socket. The
    // registry logs each name as it takes it; a request of another connection made after
    // that is answered once the asker's answers have gone or wait.
    RawPeer barrier = raw();
    ASSERT_TRUE(barrier.hello());
    int steps = 0;
    for (int before = unread(), expected = -1; steps < 16; ++steps) {
        String16 mark(("mark." + std::to_string(steps)).c_str());
        ASSERT_TRUE(asker.sendBytes(cat({list, registration(stringPayload(mark))})));
        std::string logged = "registered mark." + std::to_string(steps) + " ";
        ASSERT_TRUE(
            waitUntil([&] { return registry->errText().find(logged) != std::string::npos; }, 5000));
        ASSERT_TRUE(barrier.sendBytes(message(MSG_LOOKUP, s16(u"nobody"))));
        ASSERT_EQ(barrier.answer().value, -ENOENT);
        // Each page holds one more name than the one before.
        int grew = unread() - before;
        if (expected >= 0 && grew != expected) break;
        before = unread();
        expected = grew + static_cast<int>(registry::listedSize(mark));
    }
    ASSERT_LT(steps, 16) << "the asker's socket never filled";
    // Its lookup of the probe makes a channel: the host's end goes, the asker's waits.
    RawPeer host = raw();
    ASSERT_TRUE(host.hello());
    ASSERT_TRUE(host.sendBytes(registration(s16(u"probe"))));
    ASSERT_EQ(host.answer().value, OK);
    ASSERT_TRUE(asker.sendBytes(message(MSG_LOOKUP, s16(u"probe"))));
    unique_fd end;
    ASSERT_EQ(host.answer(nullptr, &end).type, MSG_CHANNEL);
    ChannelsInFlight inFlight;
    ASSERT_TRUE(inFlight.start(*this));
    ASSERT_GT(inFlight.refused, 0) << "the kernel's limit was reached";
    // The asker reads: its pages and registrations, then the answer whose channel the
    // kernel would no longer carry.
    for (int i = 0; i <= steps; ++i) {
        ASSERT_EQ(asker.answer().type, MSG_LIST_REPLY) << i;
        ASSERT_EQ(asker.answer().type, MSG_REGISTER_REPLY) << i;
    }
    MessageHeader answer = asker.answer(nullptr, &end);
    ASSERT_EQ(answer.type, MSG_LOOKUP_REPLY);
    ASSERT_EQ(answer.value, -ETOOMANYREFS) << "the channel did not wait in the queue";
    EXPECT_FALSE(end.valid());
    ASSERT_TRUE(inFlight.drain(path));
    ASSERT_TRUE(asker.sendBytes(message(MSG_LOOKUP, s16(u"probe"))));
    answer = asker.answer(nullptr, &end);
    EXPECT_EQ(answer.value, OK);
    EXPECT_TRUE(end.valid()) << "a handle alone, for a channel the asker never got";
    std::printf(
        "a lookup answer waited behind %d pages and went without its channel; asked "
        "again, it %s\n",
        steps + 1, end.valid() ? "brought one" : "brought none");
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
    // The log holds one line per name it took, or counts it among the lines of that user
    // it left out.
    std::string log;
    long logged = 0;
    EXPECT_TRUE(waitUntil(
        [&] {
            log = registry->errText();
            logged = 0;
            for (size_t at = 0; (at = log.find(" registered ", at)) != std::string::npos; ++at) {
                ++logged;
            }
            for (size_t at = 0; (at = log.find(" left out ", at)) != std::string::npos; ++at) {
                logged += std::atol(log.c_str() + at + 10);
            }
            return logged == 1 + 1024 + 700;
        },
        5000))
        << logged << " names logged or counted in: " << log.substr(log.find(" left out "), 2000);
}

}  // namespace
}  // namespace zorlek::test
