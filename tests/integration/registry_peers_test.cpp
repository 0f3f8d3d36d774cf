// SPDX-License-Identifier: Apache-2.0
// The registry among peers that misbehave: garbage, half messages, unfinished
// handshakes, peers and hosts that stop reading, hung services; large listings, many
// clients at once, and more connections than it has descriptors for.

#include <dirent.h>
#include <poll.h>
#include <unistd.h>

#include <sstream>

#include "tests/integration/reliability_support.h"

namespace zorlek::test {
namespace {

TEST_F(Fixture, GarbageFromOnePeerDropsOnlyThatPeer) {
    auto echo = registry.startEcho({"echo"});
    ASSERT_TRUE(echo);
    Bytes noise(64);
    for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<uint8_t>(i * 37 + 11);
    Bytes goodHello = header(MSG_HELLO, kProtocolMagic, kProtocolVersion, 0);
    struct Case {
        const char* what;
        bool helloFirst;
        Bytes bytes;
    };
    const Case cases[] = {
        {"noise instead of the handshake", false, noise},
        {"a request before the handshake", false, message(MSG_LIST, stringPayload(String16("")))},
        {"a wrong protocol version", false, header(MSG_HELLO, kProtocolMagic, 99, 0)},
        {"a second handshake", true, goodHello},
        {"a reply type", true, header(MSG_REPLY, 0, 0, 0)},
        {"its own answer", true, header(MSG_LIST_REPLY, 0, 0, 0)},
        {"a request over the size limit", true, header(MSG_LOOKUP, 0, 0, 8192)},
        {"a size that is not a multiple of 4", true, header(MSG_LOOKUP, 0, 0, 6)},
        {"a malformed name", true, message(MSG_LOOKUP, Bytes{50, 0, 0, 0, 'a', 0, 0, 0})},
    };
    for (const Case& c : cases) {
        RawPeer peer(registry);
        ASSERT_TRUE(peer.sock.valid());
        if (c.helloFirst) {
            ASSERT_TRUE(peer.hello()) << c.what;
        }
        ASSERT_TRUE(peer.sendBytes(c.bytes)) << c.what;
        EXPECT_TRUE(peer.closedByPeer(3000)) << c.what;
    }
    sp<IBinder> object = clientOf(registry)->lookupService(String16("echo"));
    ASSERT_TRUE(object);
    status_t status;
    EXPECT_EQ(descriptorOf(object, &status), String16("zorlek.IEcho"));
}

// Peers that leave while the registry handles their request: a listing request sent with
// the greeting and a hang-up in one write (the listing drops the peers that hung up, the
// asker among them), a host that looks its own name up and leaves (the channel cannot
// reach it), and a holder that leaves as another takes its name. The registry must finish
// the request without the peer's record; under AddressSanitizer a read of it once freed
// ends the registry.
TEST_F(Fixture, PeersThatLeaveWhileTheirRequestIsHandledLeaveTheRegistryWhole) {
    Bytes hello = header(MSG_HELLO, kProtocolMagic, kProtocolVersion, 0);
    for (int round = 0; round < 20; ++round) {
        RawPeer asker(registry);
        ASSERT_TRUE(asker.sendBytes(cat({hello, message(MSG_LIST, s16(u""))})));
        asker.sock.reset();

        RawPeer host(registry);
        ASSERT_TRUE(host.hello());
        ASSERT_TRUE(host.sendBytes(registration(s16(u"self"))));
        ASSERT_EQ(host.answer().value, OK);
        ASSERT_TRUE(host.sendBytes(message(MSG_LOOKUP, s16(u"self"))));
        host.sock.reset();

        RawPeer holder(registry), taker(registry);
        ASSERT_TRUE(holder.hello() && taker.hello());
        ASSERT_TRUE(holder.sendBytes(registration(s16(u"held"))));
        ASSERT_EQ(holder.answer().value, OK);
        holder.sock.reset();
        ASSERT_TRUE(taker.sendBytes(registration(s16(u"held"))));
        EXPECT_EQ(taker.answer().value, OK) << "a holder that left holds nothing";
    }
    EXPECT_TRUE(waitUntil([&] { return listed(registry).empty(); }, 3000));
    EXPECT_TRUE(registry.process()->running());
}

TEST_F(Fixture, HalfAMessageHoldsNobodyUp) {
    auto echo = registry.startEcho({"echo"});
    ASSERT_TRUE(echo);
    RawPeer stalled(registry);
    ASSERT_TRUE(stalled.hello());
    Bytes half = message(MSG_LOOKUP, stringPayload(String16("echo")));
    half.resize(half.size() / 2);
    ASSERT_TRUE(stalled.sendBytes(half));
    RawPeer silent(registry);  // connected, never says anything
    // Each wait of these clients ends after 1 s, far more than ten times what it takes: a
    // registry held up by the two would fail them.
    for (int i = 0; i < 20; ++i) {
        sp<RegistryClient> client = clientOf(registry, 1000);
        ASSERT_TRUE(client);
        ASSERT_TRUE(client->lookupService(String16("echo")));
    }
    // A peer that vanishes mid-message is simply gone.
    stalled.sock.reset();
    EXPECT_EQ(listed(registry), std::vector<std::string>{"echo"});
}

TEST(RegistryHandshake, ConnectionsThatNeverCompleteItAreClosedInTime) {
    Registry registry({}, {"ZORLEK_CALL_TIMEOUT_MS=300"});
    ASSERT_TRUE(registry.ready());
    RawPeer silent(registry);
    RawPeer stalled(registry);
    Bytes hello = header(MSG_HELLO, kProtocolMagic, kProtocolVersion, 0);
    hello.resize(8);
    ASSERT_TRUE(stalled.sendBytes(hello));
    RawPeer greeted(registry);
    ASSERT_TRUE(greeted.hello());
    EXPECT_TRUE(silent.closedByPeer(3000));
    EXPECT_TRUE(stalled.closedByPeer(3000));
    // A completed handshake is not timed out, however long the peer then stays quiet.
    EXPECT_FALSE(greeted.closedByPeer(700));
}

// The processor time `pid` has used so far, in milliseconds, from /proc; -1 when unreadable.
long cpuMsOf(pid_t pid) {
    // After the name: the state, then user and system time as the 12th and 13th fields.
    std::istringstream fields(statFields(pid));
    std::string field;
    long user = -1, system = -1;
    for (int i = 0; i < 13 && fields >> field; ++i) {
        if (i == 11) user = std::atol(field.c_str());
        if (i == 12) system = std::atol(field.c_str());
    }
    return user < 0 || system < 0 ? -1 : (user + system) * 1000 / ::sysconf(_SC_CLK_TCK);
}

// How many of the descriptor numbers below `limit` `pid` has open (it may have inherited
// others above).
long openBelow(pid_t pid, long limit) {
    long n = 0;
    if (DIR* dir = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (dirent* entry = ::readdir(dir)) {
            n += entry->d_name[0] != '.' && std::atol(entry->d_name) < limit;
        }
        ::closedir(dir);
    }
    return n;
}

// A connection that has sent its handshake; answered() once the registry took it.
struct Greeting {
    RawPeer peer{unique_fd()};
    explicit Greeting(const std::string& path) {
        connectUnix(path.c_str(), 2000, &peer.sock);
        peer.sendBytes(header(MSG_HELLO, kProtocolMagic, kProtocolVersion, 0));
    }
    bool answered() { return peer.answer().type == MSG_HELLO; }
    // Neither answered nor closed yet.
    bool waiting() {
        pollfd ready{peer.sock.get(), POLLIN, 0};
        return ::poll(&ready, 1, 0) == 0;
    }
};

// Out of descriptors, the registry neither spins on its listener nor drops the connections
// waiting there: it pauses accepting, and takes them once descriptors are free again.
// First at its limit, then with its limit lowered below every descriptor it has, where no
// descriptor kept in reserve could help (as when the whole system or memory runs out).
TEST(RegistryDescriptors, OutOfThemItPausesAcceptingAndTakesTheWaitingOnesLater) {
    TempDir dir;
    std::string path = dir.path() + "/reg.sock";
    auto registry = startRegistryAt(path, {}, {"/usr/bin/prlimit", "--nofile=64:64"});
    ASSERT_TRUE(registry);
    pid_t pid = registry->pid();
    // Measured over a second: a loop that spins takes it all, one that waits almost none.
    auto expectCalm = [&](const char* when) {
        long before = cpuMsOf(pid);
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));  // a window, not a wait
        long used = cpuMsOf(pid) - before;
        EXPECT_TRUE(before >= 0 && used < 100) << when << ": " << used << " ms of processor time";
        std::printf("%s: %ld ms of processor time in a second\n", when, used);
    };
    auto setLimit = [&](const std::string& nofile) {
        return runProgram({"/usr/bin/prlimit", "--pid", std::to_string(pid), nofile}).exitCode;
    };

    std::vector<std::unique_ptr<Greeting>> held;
    while (openBelow(pid, 64) < 64 && held.size() < 64) {
        held.push_back(std::make_unique<Greeting>(path));
        ASSERT_TRUE(held.back()->answered()) << held.size();
    }
    ASSERT_EQ(openBelow(pid, 64), 64);
    std::vector<std::unique_ptr<Greeting>> waiting;
    for (int i = 0; i < 3; ++i) waiting.push_back(std::make_unique<Greeting>(path));
    expectCalm("at its limit");
    for (auto& greeting : waiting) EXPECT_TRUE(greeting->waiting()) << "left waiting, not closed";
    held.resize(held.size() - 10);
    for (auto& greeting : waiting) EXPECT_TRUE(greeting->answered()) << "taken once some closed";

    ASSERT_EQ(setLimit("--nofile=3:64"), 0);
    Greeting late(path);
    expectCalm("with its limit lowered");
    EXPECT_TRUE(late.waiting());
    ASSERT_EQ(setLimit("--nofile=64:64"), 0);
    EXPECT_TRUE(late.answered()) << "taken once the limit was raised";
    EXPECT_EQ(registry->stop(SIGTERM), 0);
}

TEST_F(Fixture, APeerThatStopsReadingHoldsNobodyUp) {
    auto echo = registry.startEcho(manyNames(200, 256));
    ASSERT_TRUE(echo);
    RawPeer greedy(registry);
    ASSERT_TRUE(greedy.hello());
    // Listing requests without ever reading an answer (each answer is a 64 KiB page).
    Bytes request = message(MSG_LIST, [] {
        Parcel p;
        p.writeNullString16();
        return bytesOf(p);
    }());
    int sent = 0;
    while (sent < 20000 &&
           ::send(greedy.sock.get(), request.data(), request.size(), MSG_NOSIGNAL | MSG_DONTWAIT) ==
               static_cast<ssize_t>(request.size())) {
        ++sent;
    }
    EXPECT_GT(sent, 10);
    // Each wait of this client ends after 2 s, far more than ten times what it takes: a
    // registry held up by the greedy peer would fail it.
    sp<RegistryClient> client = clientOf(registry, 2000);
    ASSERT_TRUE(client);
    EXPECT_EQ(client->listServiceNames().size(), 200u);
    EXPECT_TRUE(client->lookupService(String16(manyNames(1, 256)[0].c_str())));
}

TEST_F(Fixture, AHostThatStopsReadingKeepsItsNamesWhileLookupsAreRefused) {
    // A hosting process that registers and then never reads: the first lookup over each
    // registry connection pushes a channel to it. Once its backlog is full, lookups are
    // refused to those who ask; the host, which did nothing wrong but be slow, keeps its
    // name.
    RawPeer host(registry);
    ASSERT_TRUE(host.hello());
    ASSERT_TRUE(host.sendBytes(registration(stringPayload(String16("stuck")))));
    ASSERT_EQ(host.answer().value, OK);
    int lookups = 0;
    status_t status = OK;
    while (lookups < 20000 && status == OK) {
        sp<IBinder> object;
        sp<RegistryClient> asker = clientOf(registry, 300);
        ASSERT_TRUE(asker);
        status = asker->lookup(String16("stuck"), &object);
        if (status == OK) ++lookups;
    }
    sp<RegistryClient> client = clientOf(registry, 2000);
    ASSERT_TRUE(client);
    EXPECT_EQ(status, -EAGAIN);
    // Channels it has not taken count wherever they wait, here or in its socket.
    EXPECT_EQ(lookups, 64);
    EXPECT_EQ(asUtf8(client->listServiceNames()), std::vector<std::string>{"stuck"});
    // Once it reads again, it is served again.
    EXPECT_TRUE(waitUntil(
        [&] {
            uint8_t sink[65536];
            while (::recv(host.sock.get(), sink, sizeof sink, MSG_DONTWAIT) > 0) {
            }
            return client->lookupService(String16("stuck")) != nullptr;
        },
        3000));
}

TEST_F(Fixture, AHungServiceTimesOutAndDoesNotHangTheRegistry) {
    auto answering = registry.startEcho({"hung"});
    auto all = registry.startEcho({"--hang", "h.all"});
    auto calls = registry.startEcho({"--hang-calls", "h.calls"});
    ASSERT_TRUE(answering && all && calls);
    sp<RegistryClient> client = clientOf(registry, 300);
    ASSERT_TRUE(client);

    sp<IBinder> object = client->lookupService(String16("h.all"));
    ASSERT_TRUE(object);
    Parcel reply;
    auto start = Clock::now();
    EXPECT_EQ(object->sendTransaction(DESCRIPTOR_QUERY_CODE, Parcel(), &reply, 0), -ETIMEDOUT);
    int64_t took = msSince(start);
    EXPECT_GE(took, 295);
    EXPECT_LT(took, 3000) << "a guard against a hang, ten times the bound";
    // Each call has its own bound; the channel stays for the calls after it.
    EXPECT_EQ(object->sendTransaction(DESCRIPTOR_QUERY_CODE, Parcel(), &reply, 0), -ETIMEDOUT);

    object = client->lookupService(String16("h.calls"));
    ASSERT_TRUE(object);
    status_t status;
    EXPECT_EQ(descriptorOf(object, &status), String16("zorlek.IEcho"));
    EXPECT_EQ(status, OK);
    start = Clock::now();
    EXPECT_EQ(object->sendTransaction(1, Parcel(), &reply, 0), -ETIMEDOUT);
    EXPECT_LT(msSince(start), 3000) << "a guard against a hang, ten times the bound";
    EXPECT_EQ(reply.dataSize(), 0u);

    // The registry and the other services are not held up meanwhile.
    EXPECT_EQ(asUtf8(client->listServiceNames()),
              (std::vector<std::string>{"h.all", "h.calls", "hung"}));
    object = client->lookupService(String16("hung"));
    ASSERT_TRUE(object);
    EXPECT_EQ(object->sendTransaction(1, Parcel(), &reply, 0), OK);
}

TEST_F(Fixture, ListingsLargerThanOneParcelComeWhole) {
    // 2100 names of 256 units take more than 1 MiB as strings.
    std::vector<std::string> names = manyNames(2100, 256);
    auto echo = registry.startEcho(names);
    ASSERT_TRUE(echo);
    sp<RegistryClient> client = clientOf(registry);
    Vector<String16> got;
    ASSERT_EQ(client->list(&got), OK);
    EXPECT_EQ(asUtf8(got), names) << "all of them, in code-unit order";
}

TEST_F(Fixture, ManyClientsAtOnce) {
    auto echo = registry.startEcho({"shared"});
    ASSERT_TRUE(echo);
    std::vector<std::thread> threads;
    std::atomic<int> good{0};
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            sp<RegistryClient> client = clientOf(registry);
            if (!client) return;
            for (int i = 0; i < 25; ++i) {
                sp<IBinder> object = client->lookupService(String16("shared"));
                if (!object) return;
                Parcel request, reply;
                request.writeInt32(t * 1000 + i);
                if (object->sendTransaction(2, request, &reply, 0) != OK) return;
                int32_t code = 0, value = 0;
                if (reply.readInt32(&code) != OK || reply.readInt32(&value) != OK) return;
                if (code != 2 || value != t * 1000 + i) return;
            }
            ++good;
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(good.load(), 8);
}

}  // namespace
}  // namespace zorlek::test
