// SPDX-License-Identifier: Apache-2.0
#include "platform/hosting/channel_server.h"

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <new>

#include "platform/base/call_context.h"
#include "platform/base/deadline.h"
#include "platform/transport/fd_closer.h"

namespace zorlek {
namespace {

constexpr ConnectionLimits kChannelLimits = {
    // Requests are read into this much buffer, a batch at a time; bigger payloads go
    // straight into a parcel.
    .readBuffer = kChannelReadBuffer,
    .maxPayload = kMaxParcelSize,
    // Replies the socket could not take stop the channel until its client reads: a client
    // that sends but never reads holds this much here, and one large reply.
    .pauseBytes = kChannelPauseBytes,
    // Every call says which process sent it.
    .senderCredentials = true,
};

size_t channelLimit(size_t wanted) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return wanted;
    size_t room = limit.rlim_cur > kHostReservedDescriptors * 2
                      ? limit.rlim_cur - kHostReservedDescriptors
                      : limit.rlim_cur / 2;
    return wanted < room ? wanted : room;
}

}  // namespace

ChannelServer::ChannelServer(EventLoop& loop, const HostOptions& options,
                             const ObjectTable& objects)
    : loop_(loop),
      objects_(objects),
      maxChannels_(channelLimit(options.maxChannels)),
      // One user never takes more than half, so that root and this process's own user
      // are served while another floods, however few descriptors the process has.
      maxChannelsPerUser_(options.maxChannelsPerUser < maxChannels_ / 2 ? options.maxChannelsPerUser
                                                                        : maxChannels_ / 2),
      othersChannelsMax_(maxChannels_ -
                         std::max<size_t>(std::min<size_t>(kHostKeptChannelsMin, maxChannels_ / 2),
                                          maxChannels_ / kHostKeptChannelsShare)),
      users_({::getuid(), options.userBudgetBytes, options.userBudgetBytes,
              options.othersBudgetBytes}),
      taps_(loop),
      trimmer_(loop, kHostTrimAfterClosed, kTrimAfterBytes) {}

ChannelServer::~ChannelServer() {
    loop_.forget(&notices_);
    // Proxies to the clients' objects may outlive the host's loop: they find their
    // channels ended.
    for (auto& [id, channel] : channels_) channel.end->detach();
}

void ChannelServer::adopt(unique_fd sock, const ucred& caller, uint32_t features) {
    uid_t uid = caller.uid;
    // Descriptors a peer sent that wait to be closed aside take a channel's room.
    bool full = channels_.size() + closesPending() >= maxChannels_ ||
                (!users_.trusted(uid) && (users_.connectionsOf(uid) >= maxChannelsPerUser_ ||
                                          users_.othersConnections() >= othersChannelsMax_));
    std::shared_ptr<Budget> budget = full ? nullptr : users_.join(uid);
    // Refused, or out of memory: the client sees the channel close; nobody else notices.
    // Its client may have sent calls already, with descriptors where the kernel let it.
    if (!budget) return closeSocket(std::move(sock));
    // The kernel tells who sent each call (the registry asked for it already; asked again
    // here for a channel made without it).
    int on = 1;
    ::setsockopt(sock.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof(on));
    Channel channel;
    channel.connection.reset(new (std::nothrow)
                                 Connection(loop_, std::move(sock), owner(), kChannelLimits));
    channel.caller = caller;
    if (!channel.connection) {
        users_.leave(uid);
        return closeSocket(std::move(sock));
    }
    channel.end = make<HostChannel>(channel.connection.get(), &objects_);
    channel.end->setPeerFeatures(features);
    channel.end->setObserver(this);
    channel.end->setPeer(caller);
    uint64_t id = nextId_++;
    channel.connection->setId(id);
    channel.connection->setBudget(std::move(budget));
    // A channel the loop cannot watch is closed at once: its client sees it end.
    if (channel.connection->start() != OK) return users_.leave(uid);
    channels_.emplace(id, std::move(channel));
}

bool ChannelServer::onMessage(Connection& connection, Message& message) {
    auto found = channels_.find(connection.id());
    if (found == channels_.end()) return false;
    // Held: the channel may end while its handler runs.
    sp<HostChannel> end = found->second.end;
    uint32_t type = message.header.type;
    if (type == MSG_OBJ_RELEASE) {
        end->released(message.header);
        return true;
    }
    if ((type == MSG_OBJ_TRANSACT || type == MSG_OBJ_REPLY) && end->decode(message) != OK) {
        return false;
    }
    type = message.header.type;
    if (type == MSG_REPLY || type == MSG_ERROR) return end->settle(message);
    if (type != MSG_TRANSACT) return false;
    serveCall(connection, *end, message);
    return true;
}

void ChannelServer::serveCall(Connection& connection, HostChannel& end, Message& message) {
    const MessageHeader header = message.header;
    AnswerPoll* poll = pollOf(connection);
    if (poll != nullptr && poll->measures()) poll->requested(monotonicNs(), loop_.pollSteps());
    // Whoever the kernel names as the sender of this very message: the process that looked
    // the name up may have dropped its privileges since, or handed the channel on.
    const ucred sender = message.sender;
    // The request leaves the connections' shared room, which a call back reads into.
    bool nested = callDepth() > 0;
    Parcel own;
    Parcel& request = nested ? own : request_;
    swap(request, message.payload);
    end.serve(header, request, sender, reply_);
    if (!nested) swap(request, message.payload);
    if ((header.value & FLAG_ONEWAY) != 0) return;
    // The next call may follow at once: polled for before the loop sleeps. Found again,
    // as the object may have opened or closed channels meanwhile (this one too).
    if ((poll = pollOf(connection)) != nullptr && poll->measures()) {
        loop_.pollBeforeWait(poll->answered(monotonicNs()), &connection);
    }
}

bool ChannelServer::serves(const Connection& /*connection*/, uint32_t type) const {
    return knownMessageType(type);
}

void ChannelServer::Notices::onEvents(uint32_t /*events*/) {
    std::vector<sp<DeathRecipient>> now = std::move(due);
    due.clear();
    for (sp<DeathRecipient>& recipient : now) recipient->onGone();
}

AnswerPoll* ChannelServer::pollOf(const Connection& connection) {
    auto found = channels_.find(connection.id());
    return found != channels_.end() ? &found->second.poll : nullptr;
}

void ChannelServer::onClosed(Connection& connection, status_t /*why*/) {
    auto found = channels_.find(connection.id());
    if (found == channels_.end()) return;
    users_.leave(found->second.caller.uid);
    trimmer_.closed(connection.heldBytes());
    std::vector<sp<DeathRecipient>> due = found->second.end->detach();
    if (!due.empty()) {
        for (sp<DeathRecipient>& recipient : due) notices_.due.push_back(std::move(recipient));
        loop_.wake(&notices_);
    }
    loop_.retire(std::move(found->second.connection));
    channels_.erase(found);
}

}  // namespace zorlek
