// SPDX-License-Identifier: Apache-2.0
// A host's dispatch as its clients meet it: the real ChannelServer and ObjectTable of a
// hosting process, in this process, serving channels that are real socket pairs made as
// the registry makes them (descriptors refused where the kernel can, the caller's
// credentials asked for before either end leaves, or, as the input says, only once the
// host adopts the channel) for up to four clients the input plays as attackers: calls
// whole or in pieces, to objects given and never given, one-way, in batches, with serials
// of any value, payloads up to past the 1 MiB limit, frames that break the protocol,
// replies sent to the host, descriptors and claimed credentials attached, and clients that
// leave mid-message or mid-batch or never read. The host's loop turns when the input says.
//
// The objects it serves are those of fuzz/served_objects.h: one that echoes, one that
// withholds its replies, one that fails, one that answers large replies, and one never
// published.
//
// What must hold, besides no sanitizer report: a reply comes only for a two-way call that
// was not withheld, once, in order, with the call's serial and code, and as its object
// answers it: served as the sender the kernel named with the call's first byte, refused
// (-EACCES) when the kernel named none, failed for an object never given; a channel whose
// framing breaks is closed, while a channel that keeps to the protocol stays, takes all its
// client sends and has every call answered once its client has read everything (each
// unless a channel that draws on the same budget holds a large message its client left
// unfinished, so that the host reads no further);
// a channel past the host's bounds is closed unserved; what the host holds stays within its
// bounds; the host's thread never waits on a descriptor a client chose, and none stays open
// or leaks.
//
// Input: byte 0 sets the scene (bit 0: the kernel refuses descriptors). Then steps: a byte
// whose low 2 bits name the channel and whose high 6 bits the step, then the step's own
// bytes. A channel's first step reads its setting first (bits 0-1: the caller's user;
// bit 2: credentials asked for only when the host adopts it; bit 3: the host adopts it only
// at an adopting step).

#include <poll.h>
#include <sanitizer/allocator_interface.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <deque>
#include <memory>

#include "fuzz/attached_descriptors.h"
#include "fuzz/check.h"
#include "fuzz/chosen_send.h"
#include "fuzz/hostile_peer.h"
#include "fuzz/input.h"
#include "fuzz/loop_turns.h"
#include "fuzz/served_objects.h"
#include "platform/hosting/channel_server.h"
#include "platform/transport/deadline.h"
#include "platform/transport/fd_closer.h"

namespace zorlek {
namespace {

using fuzz::AttachedDescriptors;
using fuzz::check;
using fuzz::FuzzInput;
using fuzz::HostilePeer;

constexpr size_t kChannels = 4;
// What the host may hold for each channel at most (its reader's buffer and a large
// request, its queue of replies up to the pause and one large reply, each as the buffers
// grow), and for all of them at once (the message being handled, the reply being built).
constexpr size_t kHeldPerChannel = 5 * 1024 * 1024;
constexpr size_t kHeldShared = 5 * 1024 * 1024;

const size_t kPayloadSizes[] = {0, 4, 16, 64 * 1024, kMaxParcelSize - 8, kMaxParcelSize};
const uint32_t kReplySizes[] = {0, 4, 4096, 64 * 1024, kMaxParcelSize, kMaxParcelSize + 4};
const size_t kFrameSizes[] = {0, 4, 6, 64 * 1024, kMaxParcelSize, kMaxParcelSize + 4};

struct FuzzChannel {
    std::unique_ptr<HostilePeer> client;  // null until the channel is made
    unique_fd hostEnd;                    // until the host adopts it
    ucred caller{};
    bool refused = false;  // the host closed it at once: past a bound
    bool closedByClient = false;
    // Every message sent whole so far is a call, so that the replies can be told.
    bool predictable = true;
    // The host may close it although its framing holds: it was sent descriptors, or
    // credentials that change so often that the reader gives up, or a message that is not
    // a call.
    bool mayClose = false;
    // What the host had left unread of its client's sends when a drain last looked.
    int unreadSeen = 0;
    size_t claims = 0;
    uint32_t serial = 0;
    std::deque<fuzz::OwedReply> owed;
};

class Scene {
  public:
    Scene(FuzzInput& input, uint8_t setting);
    ~Scene();
    // Takes the next step of the input.
    void step();
    // Serves every channel, has every client read all there is, and checks the end state.
    void finish();

  private:
    FuzzChannel& channel(size_t index);
    void adopt(FuzzChannel& c);
    void turn();
    // Queues a call; `how` chooses its serial (bits 0-1) and its payload (bits 2-4), and for
    // the large object the size of the reply it asks (bits 5-7).
    void queueCall(FuzzChannel& c, uint32_t handle, uint32_t code, uint32_t flags, uint8_t how);
    void account(FuzzChannel& c);
    void owe(FuzzChannel& c, const Message& call);
    void takeReplies(FuzzChannel& c);
    void checkReply(FuzzChannel& c, const Message& reply);
    // Turns the loop until every client has sent all it queued, as far as the host takes
    // it, and read all there is for it.
    void drain(bool settled = false);
    // True when a channel that draws on a budget `c` draws on too holds part of a large
    // message its client left unfinished (it has sent all it queued): counted in full, it
    // may keep that budget spent, and `c` waiting, for as long as the client leaves it so.
    bool heldUp(const FuzzChannel& c) const;
    size_t heldByClients() const;

    FuzzInput& input_;
    AttachedDescriptors descriptors_;
    EventLoop loop_;
    ObjectTable objects_;
    std::unique_ptr<fuzz::ServedObjects> served_;
    std::unique_ptr<ChannelServer> server_;
    FuzzChannel channels_[kChannels];
    size_t adopted_ = 0;
    size_t baseline_ = 0;
};

Scene::Scene(FuzzInput& input, uint8_t setting) : input_(input) {
    refusalByKernelForTesting((setting & 1) != 0);
    check(loop_.initStatus() == OK, "the host's loop is made");
    served_ = std::make_unique<fuzz::ServedObjects>(objects_);
    HostOptions options;
    // Few channels and small budgets, so that the bounds are reached: two channels for
    // each other user, and a budget that a few large replies spend.
    options.maxChannels = 4;
    options.userBudgetBytes = 256 * 1024;
    options.othersBudgetBytes = 512 * 1024;
    server_ = std::make_unique<ChannelServer>(loop_, options, objects_);
    baseline_ = __sanitizer_get_current_allocated_bytes();
}

Scene::~Scene() {
    for (FuzzChannel& c : channels_) c.client.reset();
    int64_t start = monotonicMs();
    server_.reset();
    check(monotonicMs() - start < AttachedDescriptors::kStallMs,
          "the host closes its channels without waiting on a descriptor a client chose");
    refusalByKernelForTesting(true);
}

FuzzChannel& Scene::channel(size_t index) {
    FuzzChannel& c = channels_[index];
    if (c.client) return c;
    static const uid_t kCallers[] = {0, 1000, 1001, 1000};
    uint8_t setting = input_.byte();
    c.caller = {::getpid(), kCallers[setting & 3], kCallers[setting & 3]};
    int ends[2];
    check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends) == 0,
          "the fuzzer could make a channel");
    c.hostEnd.reset(ends[0]);
    c.client = std::make_unique<HostilePeer>(unique_fd(ends[1]), kMaxParcelSize);
    refuseDescriptors(ends[0]);
    refuseDescriptors(ends[1]);
    int on = 1;
    if ((setting & 4) == 0) {
        ::setsockopt(ends[0], SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
        c.client->setDefaultSender(fuzz::ownCredentials());
    }
    if ((setting & 8) == 0) adopt(c);
    return c;
}

void Scene::adopt(FuzzChannel& c) {
    if (!c.hostEnd) return;
    server_->adopt(std::move(c.hostEnd), c.caller);
    // From now on the kernel names the sender of every send.
    c.client->setDefaultSender(fuzz::ownCredentials());
    ++adopted_;
    if (c.closedByClient) return;
    // Refused, the host's end is closed at once, or aside, where a socket that lingers may
    // hold the closer thread up: then nothing is known of the channel.
    if (!fuzz::closesAsideDone(100)) {
        c.mayClose = true;
        return;
    }
    pollfd p{c.client->fd(), POLLIN, 0};
    c.refused = ::poll(&p, 1, 0) == 1 && (p.revents & POLLHUP) != 0;
}

void Scene::turn() {
    fuzz::turnOnce(loop_, "the host's thread never waits on a descriptor a client chose");
    size_t bound = baseline_ + heldByClients() + adopted_ * kHeldPerChannel + kHeldShared;
    check(__sanitizer_get_current_allocated_bytes() <= bound,
          "the host holds no more than its bounds allow");
}

bool Scene::heldUp(const FuzzChannel& c) const {
    auto trusted = [](uid_t uid) { return uid == 0 || uid == ::getuid(); };
    for (const FuzzChannel& other : channels_) {
        if (!other.client || !other.client->open() || other.client->ended() || other.refused ||
            !other.client->sentLargeInPart() || other.client->queued() > 0) {
            continue;
        }
        // A user's channels draw on its budget; those of users other than root and the
        // host's own, also on the budget they all share.
        if (other.caller.uid == c.caller.uid ||
            (!trusted(other.caller.uid) && !trusted(c.caller.uid))) {
            return true;
        }
    }
    return false;
}

size_t Scene::heldByClients() const {
    size_t held = 0;
    for (const FuzzChannel& c : channels_) {
        if (c.client) held += c.client->heldBytes() + c.owed.size() * sizeof(fuzz::OwedReply);
    }
    return held;
}

void Scene::queueCall(FuzzChannel& c, uint32_t handle, uint32_t code, uint32_t flags, uint8_t how) {
    uint32_t serial = c.serial;
    switch (how & 3) {
        case 0:
            serial = ++c.serial;
            break;
        case 1:
            break;
        case 2:
            serial = input_.byte();
            break;
        default:
            serial = UINT32_MAX - input_.byte();
    }
    MessageHeader header{MSG_TRANSACT, code, static_cast<int32_t>(flags), 0, serial, handle};
    size_t size = kPayloadSizes[(how >> 2 & 7) % std::size(kPayloadSizes)];
    if (size == 4) {
        uint32_t asked = kReplySizes[(how >> 5) % std::size(kReplySizes)];
        uint8_t bytes[4];
        std::memcpy(bytes, &asked, 4);
        c.client->queueMessage(header, bytes, 4);
    } else if (size == 16) {
        uint8_t bytes[16] = {};
        size_t taken;
        const uint8_t* chosen = input_.bytes(16, &taken);
        std::memcpy(bytes, chosen, taken);
        c.client->queueMessage(header, bytes, 16);
    } else {
        header.size = static_cast<uint32_t>(size);
        c.client->queueHeader(header);
        c.client->queuePattern(size, how);
    }
}

void Scene::step() {
    uint8_t op = input_.byte();
    unsigned kind = (op >> 2) % 10;
    if (kind == 7) {
        for (int i = input_.byte() % 4; i >= 0; --i) turn();
        return;
    }
    FuzzChannel& c = channel(op & 3);
    if (!c.client->open()) return;
    switch (kind) {
        case 0: {
            uint32_t handle = input_.byte() % 7;
            uint32_t code = input_.byte();
            uint32_t flags = input_.byte() & 3;
            queueCall(c, handle, code, flags, input_.byte());
            break;
        }
        case 1: {
            // A batch, read at once: calls ahead of a withheld or a large reply, a client
            // that leaves in the middle of it.
            size_t count = 1 + input_.byte() % 64;
            uint32_t handle = input_.byte() % 7;
            // Next serials, and a payload of one word: the size of the reply the large
            // object is asked for.
            uint8_t how = static_cast<uint8_t>((input_.byte() & 0xE0) | 1 << 2);
            for (size_t i = 0; i < count; ++i)
                queueCall(c, handle, static_cast<uint32_t>(i), 0, how);
            break;
        }
        case 2: {
            size_t size;
            const uint8_t* bytes = input_.bytes(input_.byte() % 64, &size);
            c.client->queue(bytes, size);
            break;
        }
        case 3: {
            // Any type, replies sent to the host among them, and sizes that break the framing.
            MessageHeader header{input_.byte() % 20u, 1, 0, 0, ++c.serial, input_.byte() % 7u};
            size_t size = input_.pick(kFrameSizes);
            header.size = static_cast<uint32_t>(size);
            c.client->queueHeader(header);
            c.client->queuePattern(size, input_.byte());
            break;
        }
        case 4: {
            fuzz::ChosenSend sent = fuzz::sendAsChosen(*c.client, input_, descriptors_);
            // Descriptors on calls, and senders that change often, are past what the host
            // keeps for a client: it may close the channel.
            if (sent.carriedDescriptors) c.mayClose = true;
            if (sent.claimedCredentials && ++c.claims > 16) c.mayClose = true;
            account(c);
            break;
        }
        case 5:
            c.client->sendQueued();
            account(c);
            break;
        case 6:
            takeReplies(c);
            break;
        case 8:
            c.client->sendQueued();
            account(c);
            c.client->close();
            c.closedByClient = true;
            break;
        case 9:
            adopt(c);
            break;
    }
}

void Scene::account(FuzzChannel& c) {
    Message message;
    while (c.client->nextSent(&message) == 1) owe(c, message);
}

void Scene::owe(FuzzChannel& c, const Message& call) {
    if (!c.predictable) return;
    const MessageHeader& header = call.header;
    if (header.type != MSG_TRANSACT) {
        c.predictable = false;
        c.mayClose = true;
        return;
    }
    fuzz::OwedReply owed;
    if (fuzz::owedFor(call, &owed)) c.owed.push_back(owed);
}

void Scene::takeReplies(FuzzChannel& c) {
    if (!c.client->open()) return;
    Message reply;
    int got;
    while ((got = c.client->nextReceived(&reply)) == 1) checkReply(c, reply);
    check(got == 0 || got == -EPIPE, "the host's replies are well-formed");
}

void Scene::checkReply(FuzzChannel& c, const Message& reply) {
    check(!c.refused, "a channel past the host's bounds is served nothing");
    if (c.owed.empty()) {
        check(!c.predictable, "a reply comes only for a two-way call that was not withheld");
        return;
    }
    fuzz::checkOwed(c.owed.front(), reply);
    c.owed.pop_front();
}

void Scene::drain(bool settled) {
    fuzz::drainTurns([this] { turn(); },
                     [this] {
                         bool any = false;
                         for (FuzzChannel& c : channels_) {
                             if (!c.client || !c.client->open() || c.client->ended()) continue;
                             // What the client queued goes, as far as the host takes it.
                             size_t queued = c.client->queued();
                             c.client->sendQueued();
                             account(c);
                             any = any || c.client->queued() != queued;
                             // The host reads a send that came with descriptors apart
                             // from the next: its calls may take a turn each.
                             int unread = c.client->unreadByOtherSide();
                             any = any || unread != c.unreadSeen;
                             c.unreadSeen = unread;
                             uint64_t before = c.client->receivedBytes();
                             takeReplies(c);
                             any = any || c.client->receivedBytes() != before || c.client->ended();
                         }
                         return any;
                     },
                     settled);
}

void Scene::finish() {
    // The channels the input never had adopted are served now.
    for (FuzzChannel& c : channels_) {
        if (c.client) adopt(c);
    }
    drain();
    // A channel the host closed aside ends for its client once the closer thread has closed
    // it, which a socket that lingers holds up: those are reset first.
    descriptors_.endLingering();
    drain(true);
    for (FuzzChannel& c : channels_) {
        if (!c.client || c.closedByClient) continue;
        if (c.refused) {
            check(c.client->ended(), "a channel past the host's bounds is closed");
        } else if (c.client->sentMalformed()) {
            // Unless the host has not read as far as the break: its user's budget is held.
            check(c.client->ended() || heldUp(c), "a channel whose framing breaks is closed");
        } else if (c.predictable && !c.mayClose) {
            check(!c.client->ended(), "a channel that keeps to the protocol stays open");
            check(c.client->queued() == 0 || heldUp(c),
                  "a channel that keeps to the protocol takes all its client sends");
            check(c.owed.empty() || heldUp(c),
                  "every call owed a reply is answered once its client reads");
        }
    }
    check(served_->unpublishedCalls() == 0, "an object never published is never called");
    // Every client leaves.
    for (FuzzChannel& c : channels_) c.client.reset();
    for (int i = 0; i < 4; ++i) turn();
    check(fuzz::closesAsideDone(10000), "the descriptors closed aside are closed");
    check(descriptors_.allClosed(), "no descriptor a client attached stays open in the host");
}

}  // namespace
}  // namespace zorlek

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zorlek;
    fuzz::NothingLeftOpen nothingLeftOpen;
    fuzz::FuzzInput input(data, size);
    Scene scene(input, input.byte());
    for (int steps = 0; !input.empty() && steps < 1024; ++steps) scene.step();
    scene.finish();
    return 0;
}
