// SPDX-License-Identifier: Apache-2.0
// Arbitrary byte streams from a few peers, taken apart by the message reader and handled
// by the registry's rules, in memory: no socket, and channels made of eventfds. Whatever
// the bytes, every lookup is answered once, with the handle the holder registered and the
// holder's number; a connection is given a channel to a host once, until it lets it go or
// the host goes; what is answered as registered is listed; and a peer that breaks the
// protocol is dropped with all its names.
//
// Input: byte 0 chooses the peers' users (bit i set: peer i is root). Then chunks: a byte
// whose low 2 bits name the peer, bit 2 asks for a valid handshake first, bit 3 says the
// peer hangs up after the chunk, and the high 4 bits plus the next byte give the length
// of the bytes that follow for that peer.

#include <sys/eventfd.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "fuzz/check.h"
#include "platform/transport/message_reader.h"
#include "registry/request_handler.h"

namespace zorlek::registry {
namespace {

using fuzz::check;

constexpr size_t kPeers = 4;

struct FuzzPeer {
    Peer peer;
    MessageReader reader{kHeaderSize + kMaxRegistryRequest, kMaxRegistryRequest, true};
    bool gone = false;
    bool hungUp = false;
    // Lookups read from this peer, and answers sent to it.
    size_t lookups = 0;
    size_t lookupReplies = 0;
    // The name of the lookup being answered.
    std::u16string lookingUp;
    // The hosts this peer has been given a channel to.
    std::set<ConnectionId> introduced;
};

struct Registered {
    ConnectionId holder;
    uint32_t handle;
};

class MemoryTransport final : public PeerTransport {
  public:
    explicit MemoryTransport(std::vector<FuzzPeer>& peers) : peers_(peers) {}
    RequestHandler* handler = nullptr;
    // Names answered as registered, with their holder and handle.
    std::map<std::u16string, Registered> registered;
    std::u16string lastRegistration;
    uint32_t lastHandle = 0;
    Parcel lastListing;

    status_t send(ConnectionId to, const MessageHeader& header, const Parcel& payload, unique_fd fd,
                  uid_t /*chargeTo*/) override {
        FuzzPeer& peer = peers_.at(to - 1);
        check(!peer.gone, "nothing is sent to a peer that is gone");
        check(payload.dataSize() <= kMaxParcelSize, "answers stay within a parcel");
        check(!fd.valid() || header.type == MSG_CHANNEL ||
                  (header.type == MSG_LOOKUP_REPLY && header.value == OK),
              "a descriptor goes with a channel and a successful lookup, and only those");
        check(header.type != MSG_CHANNEL || fd.valid(), "a channel carries its descriptor");
        if (header.type == MSG_LOOKUP_REPLY) {
            ++peer.lookupReplies;
            if (header.value == OK) answeredLookup(peer, header, fd.valid());
            // Memory takes every descriptor at once; the rules hear of it once done.
            if (fd.valid()) sentChannels.emplace_back(to, hostOf(header));
        }
        if (header.type == MSG_LIST_REPLY) lastListing = payload;
        if (header.type == MSG_REGISTER_REPLY && header.value == OK) {
            registered[lastRegistration] = {to, lastHandle};
        }
        if (header.type == MSG_CHANNEL) {
            check(std::any_of(registered.begin(), registered.end(),
                              [to](const auto& entry) { return entry.second.holder == to; }),
                  "a channel goes only to a holder of names");
            check(payload.dataSize() == 12, "a channel carries the caller's credentials");
        }
        return OK;
    }
    void answeredLookup(FuzzPeer& peer, const MessageHeader& header, bool withChannel) {
        auto found = registered.find(peer.lookingUp);
        check(found != registered.end(), "only a registered name is found");
        check(hostOf(header) == found->second.holder && header.object == found->second.handle,
              "a lookup gives the holder's number and the handle it registered");
        bool known = peer.introduced.contains(hostOf(header));
        check(withChannel != known, "a channel comes with the first lookup of a host only");
        peer.introduced.insert(hostOf(header));
    }
    void finish(ConnectionId id) override { ended(peers_.at(id - 1)); }
    size_t unreadFds(ConnectionId) override { return 0; }
    size_t unreadFds(ConnectionId, uid_t) override { return 0; }
    bool mayHoldFds(uid_t, size_t) override { return true; }
    const Peer* peer(ConnectionId id) override {
        FuzzPeer& peer = peers_.at(id - 1);
        return peer.gone ? nullptr : &peer.peer;
    }
    bool hungUp(ConnectionId id) override {
        FuzzPeer& peer = peers_.at(id - 1);
        return peer.gone || peer.hungUp;
    }
    void drop(ConnectionId id) override { ended(peers_.at(id - 1)); }
    std::vector<ConnectionId> hungUpPeers() override {
        std::vector<ConnectionId> out;
        for (FuzzPeer& peer : peers_) {
            if (peer.hungUp && !peer.gone) out.push_back(peer.peer.id);
        }
        return out;
    }
    status_t makeChannel(unique_fd* hostEnd, unique_fd* clientEnd) override {
        hostEnd->reset(::eventfd(0, EFD_CLOEXEC));
        clientEnd->reset(::eventfd(0, EFD_CLOEXEC));
        return hostEnd->valid() && clientEnd->valid() ? OK : -EMFILE;
    }

    // A peer that went on its own: the rules are told.
    void gone(FuzzPeer& peer) {
        if (peer.gone) return;
        handler->peerGone(peer.peer);
        ended(peer);
    }
    // A peer the rules ended, having forgotten it.
    void ended(FuzzPeer& peer) {
        check(!peer.gone, "a peer is ended once, and never after it went");
        peer.gone = true;
        std::erase_if(registered,
                      [&](const auto& entry) { return entry.second.holder == peer.peer.id; });
        for (FuzzPeer& other : peers_) other.introduced.erase(peer.peer.id);
    }
    // Tells the rules what went while they ran.
    void settle() {
        for (auto [client, host] : std::exchange(sentChannels, {})) {
            handler->channelSent(client, host, OK);
        }
    }
    std::vector<std::pair<ConnectionId, ConnectionId>> sentChannels;

  private:
    std::vector<FuzzPeer>& peers_;
};

void feed(FuzzPeer& peer, MemoryTransport& transport, RequestHandler& handler, const uint8_t* at,
          size_t size) {
    Message message;
    while (size > 0 && !peer.gone) {
        ssize_t taken = peer.reader.feed(at, size);
        check(taken > 0 || taken == -ENOBUFS, "the reader takes bytes while it has room");
        if (taken > 0) {
            at += taken;
            size -= static_cast<size_t>(taken);
        }
        for (;;) {
            int got = peer.reader.next(&message);
            if (got == 0) break;
            if (got < 0) return transport.gone(peer);
            check(message.payload.dataSize() == message.header.size, "a message is whole");
            if (message.header.type == MSG_LOOKUP) {
                ++peer.lookups;
                Parcel copy(message.payload);
                peer.lookingUp = std::u16string(copy.readString16().view());
            }
            if (message.header.type == MSG_REGISTER) {
                Parcel copy(message.payload);
                transport.lastRegistration = std::u16string(copy.readString16().view());
                transport.lastHandle = message.header.object;
            }
            if (message.header.type == MSG_RELEASE && peer.peer.version != 0) {
                peer.introduced.erase(hostOf(message.header));
            }
            // What the handler does not serve, the connection answers or passes over.
            uint32_t type = message.header.type;
            bool served = knownMessageType(type) && type != MSG_ERROR && handler.serves(type);
            if (peer.peer.version != 0 && !served) continue;
            size_t repliesBefore = peer.lookupReplies;
            bool understood = handler.handle(peer.peer, message);
            transport.settle();
            if (!understood) return transport.gone(peer);
            // Refused at its handshake: ended by the rules themselves.
            if (peer.gone) return;
            if (message.header.type == MSG_LOOKUP && peer.peer.version != 0) {
                check(peer.lookupReplies == repliesBefore + 1, "every lookup is answered once");
            }
        }
        if (taken == -ENOBUFS) break;
    }
}

}  // namespace
}  // namespace zorlek::registry

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zorlek;
    using namespace zorlek::registry;
    if (size == 0) return 0;
    ServerOptions options;
    options.registryUid = 0;
    options.maxNamesPerUser = 8;
    std::vector<FuzzPeer> peers(kPeers);
    MemoryTransport transport(peers);
    RequestHandler handler(options, transport);
    transport.handler = &handler;
    for (size_t i = 0; i < kPeers; ++i) {
        peers[i].peer.id = i + 1;
        peers[i].peer.credentials = {static_cast<pid_t>(100 + i),
                                     (data[0] >> i) & 1 ? 0u : 1000u + static_cast<uid_t>(i), 0};
    }
    uint8_t hello[kHeaderSize];
    encodeHeader({MSG_HELLO, kProtocolMagic, kProtocolVersion, 0}, hello);
    size_t at = 1;
    while (at + 2 <= size) {
        uint8_t control = data[at];
        size_t length = (static_cast<size_t>(control >> 4) << 8) | data[at + 1];
        at += 2;
        if (length > size - at) length = size - at;
        FuzzPeer& peer = peers[control & 3];
        if ((control & 4) != 0) feed(peer, transport, handler, hello, sizeof hello);
        feed(peer, transport, handler, data + at, length);
        if ((control & 8) != 0) peer.hungUp = true;
        at += length;
    }
    // What the rules answered as registered is what they list, in order, to anyone.
    for (FuzzPeer& peer : peers) {
        if (peer.gone || peer.hungUp || peer.peer.version == 0) continue;
        Message list;
        list.header = {MSG_LIST, 0, 0, 0};
        list.payload.writeNullString16();
        list.header.size = static_cast<uint32_t>(list.payload.dataSize());
        fuzz::check(handler.handle(peer.peer, list), "a listing is always understood");
        transport.settle();
        Parcel& listing = transport.lastListing;
        listing.setDataPosition(0);
        int32_t count = -1;
        fuzz::check(listing.readInt32(&count) == OK &&
                        static_cast<size_t>(count) == transport.registered.size(),
                    "the listing counts every registered name");
        for (const auto& [name, holder] : transport.registered) {
            fuzz::check(std::u16string(listing.readString16().view()) == name,
                        "the listing holds the registered names in order");
        }
        break;
    }
    for (FuzzPeer& peer : peers) transport.gone(peer);
    fuzz::check(!handler.hostsNames(1000) && !handler.hostsNames(0),
                "every name went with its peer");
    return 0;
}
