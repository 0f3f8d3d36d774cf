// SPDX-License-Identifier: Apache-2.0
// A host's end of one channel, as the objects that travel over it see it: the client's
// objects the host was given are proxies on it, and the host calls them over the channel's
// connection. Internal to the hosting library; ChannelServer makes one per channel.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/transport/channel_end.h"
#include "platform/transport/client_channel.h"
#include "platform/transport/connection.h"

namespace zorlek {

class HostChannel final : public ChannelEnd {
  public:
    // `connection` is the channel's, owned by the server, until detach().
    HostChannel(Connection* connection, const PublishedObjects* published);

    // A call to the client's object `handle`. One-way calls are queued behind what the
    // client has not read, up to kCallbackQueueBytes, past which they fail at once with
    // -ENOBUFS: a client that stops reading never blocks the host or grows it. A two-way
    // call waits for its reply (at most the call timeout) reading this channel alone and
    // serving the calls that come over it meanwhile; other channels wait.
    status_t transact(uint32_t handle, uint32_t code, const Parcel& data, Parcel* reply,
                      uint32_t flags) override;
    bool alive() const override { return connection_ != nullptr && !connection_->closed(); }

    // The client's answer to a call of this end (MSG_REPLY, or MSG_ERROR for a type it did
    // not know); one no call waits for any more is dropped. False for an answer to a call
    // this end never made.
    bool settle(Message& message);
    // The connection has closed: every waiting call fails with -EPIPE, every object the
    // channel carried is let go, and the notices to tell are handed back.
    std::vector<sp<DeathRecipient>> detach();

  private:
    struct Waiting {
        uint32_t serial;
        PendingReply* reply;
    };

    status_t sendMessage(const MessageHeader& header, const Parcel& payload) override;
    void broken(status_t why) override;
    // Sends the call and waits for its reply in `pending`.
    status_t call(const MessageHeader& header, const Parcel& payload, PendingReply* pending);

    Connection* connection_;
    uint32_t nextSerial_ = 1;
    std::vector<Waiting> waiting_;
    Parcel wire_;
};

}  // namespace zorlek
