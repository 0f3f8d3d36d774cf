// SPDX-License-Identifier: Apache-2.0
#include "platform/hosting/channel_server.h"

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <new>

#include "platform/transport/deadline.h"
#include "platform/transport/fd_closer.h"

namespace zorlek {
namespace {

// The uid the kernel gives for credentials it cannot name here (none were attached, or the
// sender's user has no id in this user namespace): its overflow uid, 65534 unless changed.
constexpr uid_t kUnnamedUid = 65534;

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

ChannelServer::~ChannelServer() = default;

void ChannelServer::adopt(unique_fd sock, const ucred& caller) {
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
    uint64_t id = nextId_++;
    channel.connection->setId(id);
    channel.connection->setBudget(std::move(budget));
    // A channel the loop cannot watch is closed at once: its client sees it end.
    if (channel.connection->start() != OK) return users_.leave(uid);
    channels_.emplace(id, std::move(channel));
}

bool ChannelServer::onMessage(Connection& connection, Message& message) {
    // A copy: the message's room is reused by whatever the object does meanwhile.
    const MessageHeader header = message.header;
    if (header.type != MSG_TRANSACT) return false;
    AnswerPoll* poll = pollOf(connection);
    const int64_t arrivedNs = monotonicNs();
    if (poll != nullptr) poll->requested(arrivedNs, loop_.pollSteps());
    uint32_t flags = static_cast<uint32_t>(header.value);
    reply_.clear();
    CallContext context;
    // Whoever the kernel names as the sender of this very message: the process that looked
    // the name up may have dropped its privileges since, or handed the channel on.
    context.caller = message.sender;
    LocalObject* object = objects_.find(header.object);
    // A handle the registry never gave out: the call is malformed.
    status_t status = -EBADMSG;
    // The registry asks for credentials on the host's end before either end leaves it, so
    // every call carries them. One that came without (over a channel made without them:
    // no credentials, or the kernel's pid 0 with its overflow uid for none) is served as
    // nobody: it is refused. A sender in a PID namespace this process cannot see comes
    // with pid 0 and its uid: it is served, its pid not known here.
    if (message.sender.pid == 0 &&
        (message.sender.uid == static_cast<uid_t>(-1) || message.sender.uid == kUnnamedUid)) {
        status = -EACCES;
    } else if (object != nullptr) {
        CurrentCall current(&context);
        status = object->onTransact(header.code, message.payload, &reply_, flags);
    }
    if (taps_.attached()) taps_.served(header, message, reply_, status, arrivedNs);
    if ((flags & FLAG_ONEWAY) != 0 || context.replyWithheld) return true;
    reply(connection, header, status);
    // The next call may follow at once: polled for before the loop sleeps. Found again,
    // as the object may have opened or closed channels meanwhile.
    if ((poll = pollOf(connection)) != nullptr) loop_.pollBeforeWait(poll->answered(monotonicNs()));
    return true;
}

void ChannelServer::reply(Connection& connection, const MessageHeader& header, status_t status) {
    // A reply whose building failed is never sent, neither as a success nor cut short:
    // the caller gets that failure.
    if (reply_.status() != OK) {
        status = reply_.status();
        reply_.clear();
    }
    MessageHeader answer{MSG_REPLY, header.code, status, 0, header.serial, header.object};
    if (connection.send(answer, reply_) != -ENOMEM) return;
    // No room to queue it: the caller learns that memory ran out, with an empty reply.
    answer.value = -ENOMEM;
    if (connection.send(answer, nullptr, 0) == -ENOMEM) connection.close(-ENOMEM);
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
    loop_.retire(std::move(found->second.connection));
    channels_.erase(found);
}

}  // namespace zorlek
