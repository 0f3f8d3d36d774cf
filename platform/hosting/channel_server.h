// The hosting side of private channels: each one a connection on which one client calls
// one LocalObject. Internal to the hosting library.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>

#include "platform/hosting/call_context.h"
#include "platform/hosting/local_object.h"
#include "platform/transport/connection.h"

namespace zorlek {

class ChannelServer final : private ConnectionOwner {
  public:
    explicit ChannelServer(EventLoop& loop);
    ~ChannelServer();
    ChannelServer(const ChannelServer&) = delete;
    ChannelServer& operator=(const ChannelServer&) = delete;

    // Serves `object` on `sock`, the hosting end of a channel that the client described
    // by `caller` opened. The channel ends when the client closes it or breaks the
    // protocol.
    void adopt(unique_fd sock, const sp<LocalObject>& object, const CallContext& caller);

    // Channels open now.
    size_t size() const { return channels_.size(); }

  private:
    struct Channel {
        std::unique_ptr<Connection> connection;
        sp<LocalObject> object;
        CallContext caller;
    };

    bool onMessage(Connection& connection, Message& message) override;
    void onClosed(Connection& connection, status_t why) override;

    EventLoop& loop_;
    std::unordered_map<uint64_t, Channel> channels_;
    uint64_t nextId_ = 1;
    Parcel reply_;  // reused for each reply
};

}  // namespace zorlek
