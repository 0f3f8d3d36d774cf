// SPDX-License-Identifier: Apache-2.0
// A client's handle on an object hosted by another process. Internal to the IPC library
// (clients hold proxies as sp<IBinder>); in-tree tests and the call pipeline use it.
#pragma once

#include <cstdint>

#include "platform/base/ibinder.h"
#include "platform/base/parcel.h"
#include "platform/base/refbase.h"

namespace zorlek {

class ClientChannel;

// The object `handle` of one hosting process, reached over the channel to that process
// that every proxy of one registry connection to it shares. The channel closes when its
// last proxy goes. Used from one thread at a time, like everything one ServiceManager
// hands out.
class ObjectProxy : public IBinder {
  public:
    ObjectProxy(sp<ClientChannel> channel, uint32_t handle);
    ~ObjectProxy() override;

    // Sends the transaction over the channel. With flags 0 waits for the reply (at most
    // the call timeout); with FLAG_ONEWAY returns 0 once the request is handed to the
    // socket. Returns the object's status, or -EPIPE (channel gone), -ETIMEDOUT (no reply
    // in time, counted from when the call was made, whatever comes meanwhile; the
    // channel stays unless part of the request was still unsent), -EMSGSIZE (request
    // over 1 MiB, nothing sent; or a reply over 1 MiB, refused unread, the channel then
    // gone), -EBADMSG (malformed reply, the channel then gone), or the request's status()
    // when its building failed (nothing sent). `reply` may be null; after any non-zero
    // status it is empty.
    status_t sendTransaction(uint32_t code, const Parcel& data, Parcel* reply,
                             uint32_t flags) override;

    // False once the channel is gone.
    bool isAlive() const;

    ClientChannel& channel() const { return *channel_; }
    uint32_t handle() const { return handle_; }

  private:
    sp<ClientChannel> channel_;
    uint32_t handle_;
};

}  // namespace zorlek
