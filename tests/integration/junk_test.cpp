// SPDX-License-Identifier: Apache-2.0
// Junk, truncated, oversized and never-finished messages, many connections at once, to the
// registry and to a service's channels: both keep serving others meanwhile, and once the
// connections are gone both are back to the descriptors and memory they had.

#include <fcntl.h>
#include <sys/socket.h>

#include "tests/integration/reliability_support.h"

namespace zorlek::test {
namespace {

// One kind of junk: what is sent, how, and whether the other side must hang up on it.
struct Junk {
    const char* what;
    Bytes bytes;
    // Sent after a completed handshake (registry connections only).
    bool greet = false;
    // Descriptors attached to each piece sent.
    int fds = 0;
    // Sent in pieces of this many bytes; 0 sends it at once.
    size_t piece = 0;
    // The other side must close the connection; else it may wait for more.
    bool closes = true;
};

Bytes noise(size_t size, uint64_t seed) {
    Random random{seed};
    Bytes out(size);
    for (uint8_t& byte : out) byte = static_cast<uint8_t>(random.next());
    return out;
}

// A message header that declares `size` payload bytes, followed by `sent` of them.
Bytes truncated(uint32_t type, uint32_t size, size_t sent) {
    Bytes out = header(type, 1, 0, size);
    out.resize(out.size() + sent, 0x5A);
    return out;
}

Bytes halfHello() {
    Bytes hello = header(MSG_HELLO, kProtocolMagic, kProtocolVersion, 0);
    hello.resize(kHeaderSize / 2);
    return hello;
}

std::vector<Junk> registryJunk() {
    Bytes lookup = message(MSG_LOOKUP, stringPayload(String16("victim")));
    return {
        {"noise instead of the handshake", noise(8192, 1)},
        {"noise after the handshake", noise(8192, 2), true},
        {"a handshake with another magic", header(MSG_HELLO, 0x4B4C525A, kProtocolVersion, 0)},
        {"a size that is not a multiple of 4", header(MSG_LOOKUP, 0, 0, 4094), true},
        {"a declared size far over the limit", header(MSG_LOOKUP, 0, 0, 0xFFFFFFFC), true},
        {"a channel message with a descriptor", message(MSG_CHANNEL, stringPayload(String16("x"))),
         true, 1},
        // More pieces with descriptors than any message could claim.
        {"a descriptor on every 16 bytes", truncated(MSG_LOOKUP, 4096, 176), true, 1, 16},
        {"descriptors on the handshake", header(MSG_HELLO, kProtocolMagic, kProtocolVersion, 0),
         false, 3, 0, false},
        {"more descriptors than a message may carry, on a lookup", lookup, true, 8, 0, false},
        {"half a header, then silence", halfHello(), false, 0, 0, false},
        {"half a payload, then silence", truncated(MSG_LOOKUP, 4096, 2048), true, 0, 0, false},
        {"nothing at all", {}, false, 0, 0, false},
    };
}

std::vector<Junk> channelJunk() {
    return {
        {"noise", noise(8192, 3)},
        {"a reply instead of a transaction", header(MSG_REPLY, 1, 0, 0)},
        {"a registry handshake", header(MSG_HELLO, kProtocolMagic, kProtocolVersion, 0)},
        {"a size that is not a multiple of 4", header(MSG_TRANSACT, 1, 0, 4094)},
        {"a declared size over 1 MiB", header(MSG_TRANSACT, 1, 0, kMaxParcelSize + 4)},
        {"a descriptor on every 16 bytes", truncated(MSG_TRANSACT, 4096, 176), false, 1, 16},
        {"descriptors on a transaction", truncated(MSG_TRANSACT, 64, 64), false, 8, 0, false},
        {"half a header, then silence", halfHello(), false, 0, 0, false},
        {"half of a 64 KiB request, then silence", truncated(MSG_TRANSACT, 65536, 32768), false, 0,
         0, false},
        // Answered with -EBADMSG; the channel stays.
        {"calls to handles never given out",
         cat({header(MSG_TRANSACT, 1, 0, 0, 1, 0), header(MSG_TRANSACT, 1, 0, 0, 2, 999)}), false,
         0, 0, false},
    };
}

// Sends `bytes` in one sendmsg with `fds` descriptors attached (a peer that hangs up
// meanwhile is no failure here). False when the receiver refuses descriptors at the kernel
// (SO_PASSRIGHTS): then nothing of it arrived.
bool sendWithFds(int sock, const uint8_t* bytes, size_t size, int fds) {
    unique_fd attached(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    constexpr int kMost = 8;
    union {
        cmsghdr align;
        char bytes[CMSG_SPACE(sizeof(int) * kMost)];
    } control{};
    iovec iov{const_cast<uint8_t*>(bytes), size};
    msghdr m{};
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    if (fds > 0) {
        int list[kMost];
        std::fill(list, list + kMost, attached.get());
        m.msg_control = control.bytes;
        m.msg_controllen = CMSG_SPACE(sizeof(int) * fds);
        cmsghdr* c = CMSG_FIRSTHDR(&m);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int) * fds);
        std::memcpy(CMSG_DATA(c), list, sizeof(int) * fds);
    }
    return ::sendmsg(sock, &m, MSG_NOSIGNAL) >= 0 || errno != EPERM;
}

// False when the receiver refused the descriptors of a piece, and so that piece and the
// rest.
bool sendJunk(RawPeer& peer, const Junk& junk) {
    // Every wait for room to send is bounded.
    timeval bound{2, 0};
    ::setsockopt(peer.sock.get(), SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
    int flags = ::fcntl(peer.sock.get(), F_GETFL);
    ::fcntl(peer.sock.get(), F_SETFL, flags & ~O_NONBLOCK);
    size_t piece = junk.piece > 0 ? junk.piece : junk.bytes.size();
    for (size_t at = 0; at < junk.bytes.size(); at += piece) {
        if (!sendWithFds(peer.sock.get(), junk.bytes.data() + at,
                         std::min(piece, junk.bytes.size() - at), junk.fds)) {
            return false;
        }
    }
    return true;
}

// Opens `perCase` connections with `open` for every case of `table` and sends each its
// junk, all held open together; `serves` checks the victim meanwhile. Then checks that the
// victim hung up on the ones it must (junk with descriptors it may refuse at the kernel
// instead: then none of it arrived), and closes them all.
void throwJunk(const std::vector<Junk>& table, int perCase, const std::function<RawPeer()>& open,
               const std::function<void(const char*)>& serves) {
    std::vector<std::vector<RawPeer>> peers(table.size());
    std::vector<std::vector<bool>> carried(table.size());
    for (size_t c = 0; c < table.size(); ++c) {
        for (int i = 0; i < perCase; ++i) {
            peers[c].push_back(open());
            RawPeer& peer = peers[c].back();
            ASSERT_TRUE(peer.sock.valid()) << table[c].what;
            if (table[c].greet) {
                ASSERT_TRUE(peer.hello()) << table[c].what;
            }
            carried[c].push_back(sendJunk(peer, table[c]));
            EXPECT_TRUE(carried[c].back() || table[c].fds > 0) << table[c].what;
        }
        serves(table[c].what);
    }
    for (size_t c = 0; c < table.size(); ++c) {
        for (size_t i = 0; i < peers[c].size(); ++i) {
            if (table[c].closes && carried[c][i]) {
                EXPECT_TRUE(peers[c][i].closedByPeer(3000)) << table[c].what;
            }
        }
    }
}

// A registry with one zorlek-echo, "victim", and a client holding a channel to it.
struct Victim {
    Registry& registry;
    std::unique_ptr<Process> echo;
    sp<RegistryClient> client;
    sp<IBinder> held;
    Random random{11};

    explicit Victim(Registry& r) : registry(r) {}
    bool start() {
        echo = registry.startEcho({"victim"});
        client = echo ? clientOf(registry) : nullptr;
        held = client ? client->lookupService(String16("victim")) : nullptr;
        // A call also makes sure the service has taken its end of the channel.
        return held != nullptr && echoCall(held, random, 1).empty();
    }

    // Checks that the victim still answers, on the channel held and on a new one.
    void serves(const char* what) {
        EXPECT_EQ(echoCall(held, random, random.below(64)), "") << what;
        sp<IBinder> fresh = client->lookupService(String16("victim"));
        ASSERT_TRUE(fresh) << what;
        EXPECT_EQ(echoCall(fresh, random, random.below(64)), "") << what;
    }

    // Throws `table` at the registry (or at the service's channels) in a few rounds. After
    // each, the process `pid` must be back to the descriptors it had before and to the
    // memory it had after the first round, which lets it settle.
    void rounds(pid_t pid, const std::vector<Junk>& table, bool atChannels, const char* what) {
        Footprint before = quietFootprintOf(pid), after;
        const int perCase = scaled(24);
        constexpr int kRounds = 3;
        for (int round = 0; round < kRounds; ++round) {
            // Channels are asked for by hand, so that the test holds their raw ends: each
            // over a registry connection of its own, for a connection brings one channel
            // to a host.
            auto open = [&] {
                if (!atChannels) return RawPeer(registry);
                RawPeer asker(registry);
                unique_fd fd;
                Bytes lookup = message(MSG_LOOKUP, stringPayload(String16("victim")));
                if (!asker.hello()) return RawPeer(unique_fd());
                // A host busy taking the channels of the cases before is asked again, as a
                // client asks (the registry refuses with -EAGAIN meanwhile).
                waitUntil(
                    [&] {
                        if (!asker.sendBytes(lookup)) return true;
                        MessageHeader answer = asker.answer(nullptr, &fd);
                        return answer.type != MSG_LOOKUP_REPLY || answer.value != -EAGAIN;
                    },
                    10000);
                return RawPeer(std::move(fd));
            };
            throwJunk(table, perCase, open, [&](const char* c) { serves(c); });
            if (::testing::Test::HasFatalFailure()) return;
            if (round == 0) {
                ASSERT_TRUE(backTo(pid, {1L << 40, before.fds}, &after))
                    << what << ": " << describe(after);
                before.rssKb = quietFootprintOf(pid).rssKb;
            } else {
                EXPECT_TRUE(backTo(pid, before, &after))
                    << what << ", round " << round << ": " << describe(before) << " before; "
                    << describe(after) << " after";
            }
        }
        serves("after the junk");
        std::printf(
            "%s: %d rounds of %zu cases, %d connections each; %s after the first round, "
            "%s after the last\n",
            what, kRounds, table.size(), perCase, describe(before).c_str(),
            describe(after).c_str());
    }
};

TEST_F(Reliability, JunkToTheRegistryLeavesItServingAndFlat) {
    Victim victim(registry);
    ASSERT_TRUE(victim.start());
    victim.rounds(victim.registry.process()->pid(), registryJunk(), false, "registry junk");
}

TEST_F(Reliability, JunkOnChannelsLeavesTheServiceServingAndFlat) {
    Victim victim(registry);
    ASSERT_TRUE(victim.start());
    victim.rounds(victim.echo->pid(), channelJunk(), true, "channel junk");
}

// 24 channels that each declare a 1 MiB request and send 64 KiB of it: the service holds
// what arrived, not what was declared, and gives it back once they have closed.
TEST_F(Reliability, AServiceGivesBackTheMemoryOfRequestsNeverFinished) {
    Victim victim(registry);
    ASSERT_TRUE(victim.start());
    std::vector<Junk> unfinished = {{"64 KiB of a 1 MiB request, then silence",
                                     truncated(MSG_TRANSACT, kMaxParcelSize, 64 * 1024), false, 0,
                                     0, false}};
    victim.rounds(victim.echo->pid(), unfinished, true, "unfinished 1 MiB requests");
}

}  // namespace
}  // namespace zorlek::test
