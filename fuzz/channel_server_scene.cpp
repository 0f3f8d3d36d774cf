// SPDX-License-Identifier: Apache-2.0
// The steps of channel_server_fuzz: channels made as the registry makes them, adopted by
// the host, and the calls, frames and descriptors their clients send.
#include "fuzz/channel_server_scene.h"

#include <poll.h>
#include <sanitizer/allocator_interface.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <iterator>

#include "fuzz/check.h"
#include "fuzz/chosen_send.h"
#include "fuzz/loop_turns.h"
#include "platform/base/deadline.h"
#include "platform/transport/fd_closer.h"

namespace zorlek::fuzz {
namespace {

// What the host may hold for each channel at most (its reader's buffer and a large
// request, its queue of replies up to the pause and one large reply, each as the buffers
// grow), and for all of them at once (the message being handled, the reply being built).
constexpr size_t kHeldPerChannel = 5 * 1024 * 1024;
constexpr size_t kHeldShared = 5 * 1024 * 1024;

const size_t kPayloadSizes[] = {0, 4, 16, 64 * 1024, kMaxParcelSize - 8, kMaxParcelSize};
const uint32_t kReplySizes[] = {0, 4, 4096, 64 * 1024, kMaxParcelSize, kMaxParcelSize + 4};
const size_t kFrameSizes[] = {0, 4, 6, 64 * 1024, kMaxParcelSize, kMaxParcelSize + 4};

}  // namespace

HostScene::HostScene(FuzzInput& input, uint8_t setting) : input_(input) {
    refusalByKernelForTesting((setting & 1) != 0);
    check(loop_.initStatus() == OK, "the host's loop is made");
    served_ = std::make_unique<ServedObjects>(objects_);
    HostOptions options;
    // Few channels and small budgets, so that the bounds are reached: two channels for
    // each other user, and a budget that a few large replies spend.
    options.maxChannels = 4;
    options.userBudgetBytes = 256 * 1024;
    options.othersBudgetBytes = 512 * 1024;
    server_ = std::make_unique<ChannelServer>(loop_, options, objects_);
    baseline_ = __sanitizer_get_current_allocated_bytes();
}

HostScene::~HostScene() {
    for (FuzzChannel& c : channels_) c.client.reset();
    int64_t start = monotonicMs();
    server_.reset();
    check(monotonicMs() - start < AttachedDescriptors::kStallMs,
          "the host closes its channels without waiting on a descriptor a client chose");
    refusalByKernelForTesting(true);
}

FuzzChannel& HostScene::channel(size_t index) {
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
        c.client->setDefaultSender(ownCredentials());
    }
    if ((setting & 8) == 0) adopt(c);
    return c;
}

void HostScene::adopt(FuzzChannel& c) {
    if (!c.hostEnd) return;
    server_->adopt(std::move(c.hostEnd), c.caller);
    // From now on the kernel names the sender of every send.
    c.client->setDefaultSender(ownCredentials());
    ++adopted_;
    if (c.closedByClient) return;
    // Refused, the host's end is closed at once, or aside, where a socket that lingers may
    // hold the closer thread up: then nothing is known of the channel.
    if (!closesAsideDone(100)) {
        c.mayClose = true;
        return;
    }
    pollfd p{c.client->fd(), POLLIN, 0};
    c.refused = ::poll(&p, 1, 0) == 1 && (p.revents & POLLHUP) != 0;
}

void HostScene::turn() {
    turnOnce(loop_, "the host's thread never waits on a descriptor a client chose");
    size_t bound = baseline_ + heldByClients() + adopted_ * kHeldPerChannel + kHeldShared;
    check(__sanitizer_get_current_allocated_bytes() <= bound,
          "the host holds no more than its bounds allow");
}

bool HostScene::heldUp(const FuzzChannel& c) const {
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

size_t HostScene::heldByClients() const {
    size_t held = 0;
    for (const FuzzChannel& c : channels_) {
        if (c.client) held += c.client->heldBytes() + c.owed.size() * sizeof(OwedReply);
    }
    return held;
}

void HostScene::queueCall(FuzzChannel& c, uint32_t handle, uint32_t code, uint32_t flags,
                          uint8_t how) {
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

void HostScene::step() {
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
            ChosenSend sent = sendAsChosen(*c.client, input_, descriptors_);
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

}  // namespace zorlek::fuzz
