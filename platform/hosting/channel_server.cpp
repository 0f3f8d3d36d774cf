#include "platform/hosting/channel_server.h"

#include <sys/resource.h>
#include <unistd.h>

namespace zorlek {
namespace {

constexpr ConnectionLimits kChannelLimits = {
    // Requests are read into this much buffer; bigger payloads go straight into a parcel.
    .readBuffer = 4096,
    .maxPayload = kMaxParcelSize,
    // A reply the socket could not take stops the channel until its client reads: a
    // client that sends but never reads holds at most one reply here.
    .pauseBytes = 1,
};
// After this many closed channels, memory is given back to the system.
constexpr size_t kTrimAfterClosed = 64;
// Descriptors kept for everything but channels: the registry connection, the loop, and
// whatever the service itself opens.
constexpr size_t kReservedDescriptors = 64;

size_t channelLimit(size_t wanted) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return wanted;
    size_t room = limit.rlim_cur > kReservedDescriptors * 2 ? limit.rlim_cur - kReservedDescriptors
                                                            : limit.rlim_cur / 2;
    return wanted < room ? wanted : room;
}

}  // namespace

ChannelServer::ChannelServer(EventLoop& loop, const HostOptions& options)
    : loop_(loop),
      maxChannels_(channelLimit(options.maxChannels)),
      // One user never takes more than half, so that root and this process's own user
      // are served while another floods, however few descriptors the process has.
      maxChannelsPerUser_(options.maxChannelsPerUser < maxChannels_ / 2 ? options.maxChannelsPerUser
                                                                        : maxChannels_ / 2),
      userBudgetBytes_(options.userBudgetBytes),
      trimmer_(loop, kTrimAfterClosed) {}

ChannelServer::~ChannelServer() = default;

void ChannelServer::adopt(unique_fd sock, const sp<LocalObject>& object,
                          const CallContext& caller) {
    uid_t uid = caller.caller.uid;
    User& user = users_[uid];
    bool trusted = uid == 0 || uid == ::getuid();
    if (channels_.size() >= maxChannels_ || (!trusted && user.channels >= maxChannelsPerUser_)) {
        // Refused: the client sees the channel close; nobody else notices.
        if (user.channels == 0) users_.erase(uid);
        return;
    }
    if (!user.budget) user.budget = std::make_shared<Budget>(userBudgetBytes_);
    Channel channel;
    channel.connection =
        std::make_unique<Connection>(loop_, std::move(sock), owner(), kChannelLimits);
    channel.object = object;
    channel.caller = caller;
    uint64_t id = nextId_++;
    channel.connection->setId(id);
    channel.connection->setBudget(user.budget);
    // A channel the loop cannot watch is closed at once: its client sees it end.
    if (channel.connection->start() != OK) {
        if (user.channels == 0) users_.erase(uid);
        return;
    }
    ++user.channels;
    channels_.emplace(id, std::move(channel));
}

bool ChannelServer::onMessage(Connection& connection, Message& message) {
    if (message.header.type != MSG_TRANSACT) return false;
    Channel& channel = channels_.at(connection.id());
    uint32_t code = message.header.code;
    uint32_t flags = static_cast<uint32_t>(message.header.value);
    reply_.clear();
    CallContext context = channel.caller;
    status_t status;
    {
        CurrentCall current(&context);
        status = channel.object->onTransact(code, message.payload, &reply_, flags);
    }
    if ((flags & FLAG_ONEWAY) != 0 || context.replyWithheld) return true;
    // A reply whose building failed is never sent, neither as a success nor cut short:
    // the caller gets that failure.
    if (reply_.status() != OK) {
        status = reply_.status();
        reply_.clear();
    }
    connection.send({MSG_REPLY, code, status, 0}, reply_);
    return true;
}

void ChannelServer::onClosed(Connection& connection, status_t /*why*/) {
    auto found = channels_.find(connection.id());
    if (found == channels_.end()) return;
    auto user = users_.find(found->second.caller.caller.uid);
    if (user != users_.end() && --user->second.channels == 0) users_.erase(user);
    loop_.retire(std::move(found->second.connection));
    channels_.erase(found);
    trimmer_.closed();
}

}  // namespace zorlek
