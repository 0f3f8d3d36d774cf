// The hosting side of private channels: each one a connection on which one client calls
// one LocalObject. Internal to the hosting library.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>

#include "platform/hosting/call_context.h"
#include "platform/hosting/local_object.h"
#include "platform/hosting/service_host.h"
#include "platform/transport/connection.h"
#include "platform/transport/memory_trimmer.h"

namespace zorlek {

class ChannelServer final : private ConnectionOwner {
  public:
    // The bounds come from `options` (maxChannels, maxChannelsPerUser, userBudgetBytes).
    ChannelServer(EventLoop& loop, const HostOptions& options);
    ~ChannelServer();
    ChannelServer(const ChannelServer&) = delete;
    ChannelServer& operator=(const ChannelServer&) = delete;

    // Serves `object` on `sock`, the hosting end of a channel that the client described
    // by `caller` opened; closes it at once when that would pass a bound. The channel
    // ends when the client closes it or breaks the protocol.
    void adopt(unique_fd sock, const sp<LocalObject>& object, const CallContext& caller);

  private:
    struct Channel {
        std::unique_ptr<Connection> connection;
        sp<LocalObject> object;
        CallContext caller;
    };
    // What one calling user holds: channels, and the budget they share.
    struct User {
        size_t channels = 0;
        std::shared_ptr<Budget> budget;
    };

    bool onMessage(Connection& connection, Message& message) override;
    void onClosed(Connection& connection, status_t why) override;

    EventLoop& loop_;
    size_t maxChannels_;
    size_t maxChannelsPerUser_;
    size_t userBudgetBytes_;
    std::unordered_map<uint64_t, Channel> channels_;
    std::unordered_map<uid_t, User> users_;
    uint64_t nextId_ = 1;
    Parcel reply_;  // reused for each reply
    MemoryTrimmer trimmer_;
};

}  // namespace zorlek
