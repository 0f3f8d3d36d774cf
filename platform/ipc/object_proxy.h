#pragma once

#include "platform/ipc/call_timeout.h"
#include "platform/ipc/ibinder.h"
#include "platform/ipc/parcel.h"
#include "platform/ipc/unique_fd.h"

namespace zorlek {

class CallPipeline;

// A client's handle on an object hosted by another process, over a private channel (a
// connected Unix stream socket) that the registry set up for this proxy alone.
//
// One call at a time: sendTransaction is not safe to call from two threads at once.
// Once the channel breaks, times out or carries a malformed reply, the proxy is dead:
// the channel is closed and every later call fails with -EPIPE.
class ObjectProxy : public IBinder {
  public:
    // Takes ownership of `channel`, a connected Unix stream socket.
    // Every wait (for room to send, for the reply) is bounded by `timeoutMs` on its own.
    // The wait for a reply happens inside the receive itself, under a receive timeout set
    // on the channel at its first two-way call, so a call costs one send and one receive.
    explicit ObjectProxy(unique_fd channel, int timeoutMs = callTimeoutMs());

    // Sends the transaction over the channel. With flags 0 waits for the reply; with
    // FLAG_ONEWAY returns 0 once the request is handed to the socket. Returns the
    // object's status, or -EPIPE (channel gone or proxy dead), -ETIMEDOUT (no reply in
    // time; the proxy is then dead), -EMSGSIZE (request over 1 MiB, nothing sent; or a
    // reply over 1 MiB, refused unread, the proxy then dead), -EBADMSG (malformed reply,
    // proxy dead). `reply` may be null; after any non-zero status it is empty.
    status_t sendTransaction(uint32_t code, const Parcel& data, Parcel* reply,
                             uint32_t flags) override;

    // False once the proxy is dead.
    bool isAlive() const { return channel_.valid(); }

  private:
    // CallPipeline makes many calls at once through the two halves of a call.
    friend class CallPipeline;

    // Sends the request of a call; 0 or the failure (the proxy then dead).
    status_t sendRequest(uint32_t code, const Parcel& data, uint32_t flags);
    // Receives the reply to the call `code` into `into` within `waitMs`: the object's
    // status, or the failure (the proxy then dead, `into` empty). `readable` says the
    // caller has just seen the channel readable.
    status_t receiveReply(uint32_t code, Parcel* into, int waitMs, bool readable);
    // Ends the proxy after a failure.
    void die() { channel_.reset(); }

    unique_fd channel_;
    int timeoutMs_;
    // Set once the channel's receive timeout is in place.
    bool receiveTimeoutSet_ = false;
    // Receives replies the caller does not want, so they still leave the channel whole.
    Parcel discard_;
};

}  // namespace zorlek
