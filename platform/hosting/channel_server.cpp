#include "platform/hosting/channel_server.h"

namespace zorlek {
namespace {

constexpr ConnectionLimits kChannelLimits = {
    // Requests are read into this much buffer; bigger payloads go straight into a parcel.
    .readBuffer = 16 * 1024,
    .maxPayload = kMaxParcelSize,
    // A channel whose unsent replies pass this is not read until they drain, so a client
    // that sends but never reads cannot make the host queue without end.
    .pauseBytes = 2 * kMaxParcelSize,
};

}  // namespace

ChannelServer::ChannelServer(EventLoop& loop) : loop_(loop) {}

ChannelServer::~ChannelServer() = default;

void ChannelServer::adopt(unique_fd sock, const sp<LocalObject>& object,
                          const CallContext& caller) {
    Channel channel;
    channel.connection = std::make_unique<Connection>(loop_, std::move(sock), owner(), kChannelLimits);
    channel.object = object;
    channel.caller = caller;
    uint64_t id = nextId_++;
    channel.connection->setId(id);
    // A channel the loop cannot watch is closed at once: its client sees it end.
    if (channel.connection->start() != OK) return;
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
    loop_.retire(std::move(found->second.connection));
    channels_.erase(found);
}

}  // namespace zorlek
