// SPDX-License-Identifier: Apache-2.0
// The hosting side of channels: one connection per client process, on which that client
// calls any of the host's objects by handle. Internal to the hosting library.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <unordered_map>

#include "platform/hosting/host_channel.h"
#include "platform/hosting/host_options.h"
#include "platform/hosting/local_object.h"
#include "platform/hosting/object_table.h"
#include "platform/transport/connection.h"
#include "platform/transport/memory_trimmer.h"
#include "platform/transport/poll_budget.h"
#include "platform/transport/user_shares.h"

namespace zorlek {

class ChannelServer final : private ConnectionOwner {
  public:
    // Serves the objects of `objects` (which outlives this). The bounds come from
    // `options` (maxChannels, maxChannelsPerUser, userBudgetBytes).
    ChannelServer(EventLoop& loop, const HostOptions& options, const ObjectTable& objects);
    ~ChannelServer();
    ChannelServer(const ChannelServer&) = delete;
    ChannelServer& operator=(const ChannelServer&) = delete;

    // Serves `sock`, the host's end of a channel to the client that the registry saw as
    // `caller`, whose user the channel counts against; closes it at once when that would
    // pass a bound (or memory runs out). Each call is served as the sender the kernel names
    // with it, and refused (-EACCES) when it names none. The channel ends when the client
    // closes it or breaks the protocol. `features` are the client's (wire.h's PEER_ bits):
    // objects go to it only when it can read them.
    void adopt(unique_fd sock, const ucred& caller, uint32_t features = 0);

  private:
    struct Channel {
        std::unique_ptr<Connection> connection;
        // The channel's end for objects: the client's objects held here are proxies on it.
        sp<HostChannel> end;
        ucred caller;     // whom the registry saw open it: the user its bounds count against
        AnswerPoll poll;  // how long to poll for its next call after an answer
    };

    bool onMessage(Connection& connection, Message& message) override;
    // Serves one call of the channel's client.
    void serveCall(Connection& connection, HostChannel& end, Message& message);
    void onClosed(Connection& connection, status_t why) override;
    // Answers to this end's own calls come back as MSG_REPLY, or MSG_ERROR.
    bool serves(const Connection& connection, uint32_t type) const override;

    // Tells the notices of channels that ended, on the loop after the batch that ended them.
    class Notices final : public EventSource {
      public:
        void onEvents(uint32_t events) override;
        std::vector<sp<DeathRecipient>> due;
    };
    // The polling of `connection`'s channel; null when it is not one of ours.
    AnswerPoll* pollOf(const Connection& connection);

    EventLoop& loop_;
    const ObjectTable& objects_;
    size_t maxChannels_;
    size_t maxChannelsPerUser_;
    // What all users but root and this process's own may take together.
    size_t othersChannelsMax_;
    std::unordered_map<uint64_t, Channel> channels_;
    // Channels and memory per calling user; root and this process's own user are trusted.
    UserShares users_;
    uint64_t nextId_ = 1;
    // Takes each request off the connections' shared room, which calls back reuse; and
    // each reply.
    Parcel request_;
    Parcel reply_;
    Notices notices_;
    MemoryTrimmer trimmer_;
};

}  // namespace zorlek
