// SPDX-License-Identifier: Apache-2.0
// The registry as its peers meet it: the real server, with its connections and its rules,
// on a real listening socket in this process, and up to four peers played by the input as
// attackers play them, as root or as one of two other users. A peer sends requests whole
// or in pieces of any size, with descriptors (pipe ends, socket ends, sockets whose last
// close lingers) and credentials attached, payloads up to past the 1 MiB limit, and leaves
// when the input says: in the same write as a request, while the registry handles it, in
// the middle of a message. The registry's loop turns when the input says. Kernel refusal
// of descriptors is on or off (as on a kernel without it), as the input says.
//
// What must hold, besides no sanitizer report: an answer goes only to a peer that asked
// (no more answers of a kind than requests of it; a channel only to a holder of a name; a
// descriptor only with a successful lookup or a channel); a peer still connected at the
// end has each registration, lookup, listing and status request answered once; a peer
// whose framing breaks is dropped; the names held are those of the peers still connected
// (every name of a peer that is gone is freed); the registry's thread never waits on a
// descriptor a peer chose; no such descriptor stays open in the process; and after every
// input a well-behaved peer is served: greeted, listed, registered and looked up.
//
// Waits may be of names built to share one value of the standard library's unkeyed string
// hash, as a flooding attacker sends them.
//
// Input: byte 0 sets the scene (bit 0: the kernel refuses descriptors; bits 1-4: peer i
// is root; bit 5: one connection per other user). Then steps: a byte whose low 2 bits
// name the peer and whose high 6 bits the step, then the step's own bytes.

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "fuzz/attached_descriptors.h"
#include "fuzz/check.h"
#include "fuzz/chosen_send.h"
#include "fuzz/hostile_peer.h"
#include "fuzz/input.h"
#include "fuzz/loop_turns.h"
#include "fuzz/registry_peer.h"
#include "platform/base/deadline.h"
#include "platform/text/string8.h"
#include "platform/text/text_output.h"
#include "platform/transport/fd_closer.h"
#include "registry/server.h"
#include "tests/support/colliding_names.h"

namespace zorlek::registry {
namespace {

using fuzz::AttachedDescriptors;
using fuzz::check;
using fuzz::FuzzInput;
using fuzz::HostilePeer;
using fuzz::RegistryPeer;

constexpr size_t kPeers = 4;

const std::u16string kNames[] = {u"a", u"b",           u"org.example.x",
                                 u"",  u"bad\x01name", std::u16string(kMaxNameUnits + 1, u'n')};
const size_t kPayloadSizes[] = {
    0, 4, 6, 64, kMaxRegistryRequest, kMaxRegistryRequest + 4, kMaxParcelSize, kMaxParcelSize + 4};

class Scene {
  public:
    Scene(FuzzInput& input, uint8_t setting);
    ~Scene();
    // Takes the next step of the input.
    void step();
    // Has every peer read all there is, checks the end state, and has a well-behaved peer
    // served.
    void finish();

  private:
    void turn();
    void queueRequest(HostilePeer& link, uint32_t type, const std::u16string& name,
                      uint32_t object);
    // Turns the loop until every peer has read all there is for it.
    void drain(bool settled = false);
    // The next answer of `type` to `p`, turning the loop meanwhile; fails the run when
    // none comes.
    Message await(HostilePeer& p, uint32_t type);
    // Has `checker` list the names and compares them with `held`.
    void checkListing(HostilePeer& checker, const std::set<std::u16string>& held);

    FuzzInput& input_;
    ServerOptions options_;
    std::string address_;
    AttachedDescriptors descriptors_;
    std::unique_ptr<RegistryServer> server_;
    std::vector<RegistryPeer> peers_;
};

std::string abstractAddress() {
    static unsigned next = 0;
    return std::string(1, '\0') + "zorlek-registry-fuzz-" + std::to_string(::getpid()) + "-" +
           std::to_string(next++);
}

Scene::Scene(FuzzInput& input, uint8_t setting) : input_(input) {
    refusalByKernelForTesting((setting & 1) != 0);
    // The registry trusts root and its own user: this one, should the fuzzer not run as root.
    options_.registryUid = ::geteuid();
    options_.maxConnectionsPerUser = (setting & 0x20) != 0 ? 1 : 4;
    options_.maxNamesPerUser = 2;
    options_.maxUnreadLookups = 4;
    options_.maxPendingChannelsPerUser = 2;
    options_.maxPendingChannels = 4;
    options_.maxUnreadFdsPerUser = 4;
    options_.userBudgetBytes = 96 * 1024;
    options_.trustedBudgetBytes = 256 * 1024;
    options_.othersBudgetBytes = 160 * 1024;
    server_ = std::make_unique<RegistryServer>(options_);
    address_ = abstractAddress();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    address_.copy(address.sun_path, sizeof(address.sun_path));
    auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address_.size());
    unique_fd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    check(listener && ::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), length) == 0 &&
              ::listen(listener.get(), SOMAXCONN) == 0,
          "the fuzzer could make its listening socket");
    check(server_->listen(std::move(listener)) == OK, "the registry serves");
    for (size_t i = 0; i < kPeers; ++i) {
        peers_.emplace_back((setting >> (1 + i) & 1) != 0 ? 0 : 1000 + static_cast<uid_t>(i % 2));
    }
}

Scene::~Scene() {
    for (RegistryPeer& p : peers_) p.leave();
    int64_t start = monotonicMs();
    server_.reset();
    check(monotonicMs() - start < AttachedDescriptors::kStallMs,
          "the registry closes its connections without waiting on a descriptor a peer chose");
    refusalByKernelForTesting(true);
}

void Scene::turn() {
    fuzz::turnOnce(server_->loop(),
                   "the registry's thread never waits on a descriptor a peer chose");
}

void Scene::queueRequest(HostilePeer& link, uint32_t type, const std::u16string& name,
                         uint32_t object) {
    Parcel payload;
    payload.writeString16(String16(name));
    link.queueMessage({type, 0, 0, 0, 0, object}, payload.data(), payload.dataSize());
}

void Scene::step() {
    uint8_t op = input_.byte();
    unsigned kind = (op >> 2) % 16;
    if (kind == 13) {
        for (int i = input_.byte() % 4; i >= 0; --i) turn();
        return;
    }
    RegistryPeer& p = peers_[op & 3];
    HostilePeer& link = p.link(address_);
    if (!link.open()) return;
    switch (kind) {
        case 0: {
            link.queueHeader({MSG_HELLO, kProtocolMagic, kProtocolVersion, 0});
            break;
        }
        case 1:
            queueRequest(link, MSG_REGISTER, input_.pick(kNames), input_.byte());
            break;
        case 2:
            queueRequest(link, MSG_LOOKUP, input_.pick(kNames), 0);
            break;
        case 3: {
            uint8_t after = input_.byte();
            if (after == 0) {
                Parcel payload;
                payload.writeNullString16();
                link.queueMessage({MSG_LIST}, payload.data(), payload.dataSize());
            } else {
                queueRequest(link, MSG_LIST, kNames[after % std::size(kNames)], 0);
            }
            break;
        }
        case 4:
            queueRequest(link, MSG_STATUS, input_.pick(kNames), 0);
            break;
        case 5: {
            const std::u16string& name = input_.pick(kNames);
            uint8_t flags = input_.byte();
            MessageHeader header{MSG_WATCH, 0, flags % 4, 0, input_.byte()};
            // Bit 7: a wait of names built to share one value of the unkeyed string hash.
            static const std::vector<std::u16string> colliding = test::collidingNames(256);
            Parcel payload;
            if ((flags & 0x80) != 0) {
                payload.writeInt32(static_cast<int32_t>(colliding.size()));
                for (const std::u16string& each : colliding) payload.writeString16(String16(each));
            } else {
                payload.writeInt32(1);
                payload.writeString16(String16(name));
            }
            link.queueMessage(header, payload.data(), payload.dataSize());
            break;
        }
        case 6: {
            MessageHeader header{MSG_RELEASE};
            setHost(&header, input_.byte() % 8);
            link.queueHeader(header);
            break;
        }
        case 7: {
            size_t size;
            const uint8_t* bytes = input_.bytes(input_.byte() % 64, &size);
            link.queue(bytes, size);
            break;
        }
        case 8: {
            uint32_t type = input_.byte() % (MSG_REPLY + 2);
            size_t size = input_.pick(kPayloadSizes);
            link.queueHeader({type, 0, 0, static_cast<uint32_t>(size)});
            link.queuePattern(size, input_.byte());
            break;
        }
        case 9: {
            // Many requests at once, as a flood would send them.
            size_t count = input_.byte();
            static const uint32_t kFlooding[] = {MSG_LOOKUP, MSG_LIST, MSG_STATUS};
            uint32_t type = input_.pick(kFlooding);
            for (size_t i = 0; i < count; ++i) queueRequest(link, type, kNames[i % 3], 0);
            break;
        }
        case 10:
            fuzz::sendAsChosen(link, input_, descriptors_);
            p.account();
            break;
        case 11:
            link.sendQueued();
            p.account();
            break;
        case 12:
            p.takeAnswers();
            break;
        case 14:
            // Whatever is queued goes with the end of the stream, in the same write
            // where the socket takes it all.
            link.sendQueued();
            p.account();
            link.close();
            break;
        case 15:
            link.sendQueued();
            p.account();
            link.shutdownWrite();
            break;
    }
}

void Scene::drain(bool settled) {
    fuzz::drainTurns([this] { turn(); },
                     [this] {
                         bool any = false;
                         for (RegistryPeer& p : peers_) {
                             if (!p.connected()) continue;
                             uint64_t before = p.link()->receivedBytes();
                             // The registry reads a send that came with descriptors apart
                             // from the next: its requests may take a turn each.
                             int unread = p.link()->unreadByOtherSide();
                             any = any || unread != p.unreadSeen;
                             p.unreadSeen = unread;
                             p.takeAnswers();
                             any = any || p.link()->receivedBytes() != before || !p.connected();
                         }
                         return any;
                     },
                     settled);
}

Message Scene::await(HostilePeer& p, uint32_t type) {
    p.sendQueued();
    for (int round = 0; round < 1000; ++round) {
        turn();
        Message message;
        int got;
        while ((got = p.nextReceived(&message)) == 1) {
            if (message.header.type == type) return message;
            check(message.header.type == MSG_CHANNEL && message.fd.valid(),
                  "a well-behaved peer gets only what it asked for");
        }
        check(got == 0, "the registry keeps serving a well-behaved peer");
    }
    check(false, "the registry answers a well-behaved peer");
    return Message();
}

void Scene::checkListing(HostilePeer& checker, const std::set<std::u16string>& held) {
    Parcel request;
    request.writeNullString16();
    checker.queueMessage({MSG_LIST}, request.data(), request.dataSize());
    Message listing = await(checker, MSG_LIST_REPLY);
    int32_t count = -1;
    check(listing.payload.readInt32(&count) == OK && listing.header.value == 0 &&
              static_cast<size_t>(count) == held.size(),
          "the names listed are those of the peers still connected");
    for (const std::u16string& name : held) {
        check(std::u16string(listing.payload.readString16().view()) == name,
              "the names listed are those of the peers still connected, in order");
    }
}

void Scene::finish() {
    drain();
    // A connection the registry closed aside ends for its peer once the closer thread has
    // closed it, which a socket that lingers holds up: those are reset first.
    descriptors_.endLingering();
    drain(true);
    std::set<std::u16string> held;
    for (RegistryPeer& p : peers_) {
        p.checkEnd();
        if (p.connected()) held.insert(p.held().begin(), p.held().end());
    }
    HostilePeer checker(fuzz::connectAs(address_, 0), kMaxRegistryRequest);
    checker.queueHeader({MSG_HELLO, kProtocolMagic, kProtocolVersion, 0});
    check(await(checker, MSG_HELLO).header.value == OK, "a well-behaved peer is greeted");
    checkListing(checker, held);
    // Every peer leaves: its names go with it.
    for (RegistryPeer& p : peers_) p.leave();
    checkListing(checker, {});
    Parcel name;
    name.writeString16(String16(u"fuzz.check"));
    checker.queueMessage({MSG_REGISTER, 0, 0, 0, 0, 1}, name.data(), name.dataSize());
    check(await(checker, MSG_REGISTER_REPLY).header.value == OK,
          "a well-behaved peer registers a name");
    checker.queueMessage({MSG_LOOKUP}, name.data(), name.dataSize());
    Message found = await(checker, MSG_LOOKUP_REPLY);
    check(found.header.value == OK && found.fd.valid(), "a well-behaved peer looks a name up");
    checkListing(checker, {u"fuzz.check"});
    checker.close();
    for (int i = 0; i < 4; ++i) turn();
    check(fuzz::closesAsideDone(10000), "the descriptors closed aside are closed");
    check(descriptors_.allClosed(), "no descriptor a peer attached stays open in the registry");
}

}  // namespace
}  // namespace zorlek::registry

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zorlek;
    // The registry logs every registration; the runs keep their output for findings.
    static String8 log;
    static const bool capturing = (aerr.captureInto(&log), true);
    (void)capturing;
    log.clear();
    fuzz::NothingLeftOpen nothingLeftOpen;
    fuzz::FuzzInput input(data, size);
    registry::Scene scene(input, input.byte());
    for (int steps = 0; !input.empty() && steps < 1024; ++steps) scene.step();
    scene.finish();
    return 0;
}
