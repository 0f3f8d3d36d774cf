// SPDX-License-Identifier: Apache-2.0
// A handle on an object hosted by another process. Internal to the IPC library (programs
// hold proxies as sp<IBinder>); in-tree tests and the call pipeline use it.
#pragma once

#include <cstdint>

#include "platform/base/ibinder.h"
#include "platform/base/parcel.h"
#include "platform/base/refbase.h"

namespace zorlek {

class ChannelEnd;
class ClientChannel;

// The object `handle` of the process at the other end of a channel: a name a client looked
// up (on the client's channel to that host, shared by every proxy one registry connection
// holds to it), or an object that came in a parcel (on the channel it came over, a client's
// or a host's). The channel stays while a proxy of it does. Used from one thread at a time,
// like everything one ServiceManager or ServiceHost hands out.
class ObjectProxy : public IBinder {
  public:
    ObjectProxy(sp<ChannelEnd> end, uint32_t handle);
    // Tells the channel: an object passed to this process is released there.
    ~ObjectProxy() override;

    // Sends the transaction over the channel. With flags 0 waits for the reply (at most
    // the call timeout), serving meanwhile the calls back that come over it; with
    // FLAG_ONEWAY returns 0 once the request is handed to the socket (or queued, toward
    // a client that does not read, up to kCallbackQueueBytes: past it -ENOBUFS). Returns
    // the object's status, or -EPIPE (channel gone), -ETIMEDOUT (no reply in time, counted
    // from when the call was made, whatever comes meanwhile; the channel stays unless part
    // of the request was still unsent), -EMSGSIZE (request over 1 MiB, nothing sent; or a
    // reply over 1 MiB, refused unread, the channel then gone), -EBADMSG (malformed reply,
    // the channel then gone), -EDEADLK (calls back nested past kMaxCallDepth), what
    // sending the request's objects refused (ChannelEnd::encode: -EXDEV for a proxy of
    // a third process, ...), or the request's status() when its building failed (nothing
    // sent). `reply` may be null; after any non-zero status it is empty.
    status_t sendTransaction(uint32_t code, const Parcel& data, Parcel* reply,
                             uint32_t flags) override;
    ObjectProxy* remoteObject() override { return this; }
    // See IBinder::notifyWhenGone: told when the channel ends.
    status_t notifyWhenGone(const sp<DeathRecipient>& recipient) override;

    // False once the channel is gone.
    bool isAlive() const;

    ChannelEnd& end() const { return *end_; }
    // The client's channel, for calls made many at once; null for a proxy a host holds.
    ClientChannel* clientChannel() const;
    uint32_t handle() const { return handle_; }

  private:
    sp<ChannelEnd> end_;
    uint32_t handle_;
};

}  // namespace zorlek
