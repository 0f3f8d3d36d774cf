// SPDX-License-Identifier: Apache-2.0
// The client's end of a channel to one hosting process, shared by every proxy that one
// registry connection holds to that host's objects. Calls carry a serial and replies name
// the serial they answer, so replies may come in any order and a reply held back by the
// host holds back no other. Used from one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/ipc/byte_buffer.h"
#include "platform/ipc/parcel.h"
#include "platform/ipc/refbase.h"
#include "platform/transport/stream.h"

namespace zorlek {

class ClientChannel;

// The channels one registry connection has to hosts, by host number, and the hosts whose
// channel was let go since the registry was last told. Shared by the registry client and
// its channels, so that a channel that outlives the client still finds it.
class ChannelDirectory : public RefBase {
  public:
    // The channel to `host`; null when there is none.
    ClientChannel* find(uint64_t host) const;
    // Makes `channel` the one to `host`, in place of any before it.
    void add(uint64_t host, ClientChannel* channel);
    // `channel` to `host` is closing: forgets it, and notes that the registry is to be
    // told when it was the registry connection's current channel to that host.
    void gone(uint64_t host, ClientChannel* channel, uint32_t generation);
    // A new registry connection: it has introduced no host yet.
    void restart();
    // The connection the introductions belong to, counted from 1.
    uint32_t generation() const { return generation_; }
    // Takes the hosts whose release the registry has not been told.
    std::vector<uint64_t> takeReleases() { return std::exchange(releases_, {}); }

  private:
    std::unordered_map<uint64_t, ClientChannel*> channels_;
    std::vector<uint64_t> releases_;
    uint32_t generation_ = 1;
};

// Where the reply of a call started with ClientChannel::start() goes when it arrives.
struct PendingReply {
    bool done = false;
    status_t status = OK;
    Parcel reply;  // empty after any non-zero status
};

class ClientChannel : public RefBase {
  public:
    // Takes `sock`, a connected Unix stream socket to the host numbered `host`. Every wait
    // is bounded by `timeoutMs` on its own. `directory` (may be null) is told when the
    // channel goes.
    ClientChannel(unique_fd sock, int timeoutMs, sp<ChannelDirectory> directory = nullptr,
                  uint64_t host = 0, uint32_t generation = 0);
    ~ClientChannel() override;

    // One call to the object `handle`: with flags 0 waits for its reply (into `reply`,
    // which may be null); with FLAG_ONEWAY returns once the request is handed to the
    // socket. Returns the object's status, or -EPIPE (channel gone), -ETIMEDOUT (no reply
    // in time; the channel stays, and the late reply is dropped), -EMSGSIZE (request over
    // 1 MiB, nothing sent; or a reply over 1 MiB, refused unread, the channel then gone),
    // -EBADMSG (malformed bytes; the channel then gone), or the request's own status()
    // when its building failed (nothing sent). After any non-zero status `reply` is empty.
    status_t transact(uint32_t handle, uint32_t code, const Parcel& data, Parcel* reply,
                      uint32_t flags);

    // Queues a two-way call whose reply goes to `pending` (which must stay until the call
    // is settled or cancelled); it is sent by the next flush(). Returns its serial in
    // `*serial`, or a failure (nothing queued).
    status_t start(uint32_t handle, uint32_t code, const Parcel& data, PendingReply* pending,
                   uint32_t* serial);
    // Gives up waiting for the call `serial`; its reply, should it come, is dropped.
    void cancel(uint32_t serial);
    // Sends queued calls as far as the socket takes them, in one sendmsg. A failure ends
    // the channel.
    void flush();
    // True while queued calls wait to be sent.
    bool wantsToSend() const { return out_.size() > 0; }
    // Reads what is there (the caller saw the socket readable) and settles the replies it
    // holds. Returns the bytes of the replies settled. A failure ends the channel.
    size_t takeIn();

    bool alive() const { return stream_.valid(); }
    int fd() const { return stream_.fd(); }
    int timeoutMs() const { return timeoutMs_; }

  private:
    // Sends every byte of the request `head` + `data`, taking in replies meanwhile so that
    // a host waiting for room to answer is never waited for in turn.
    status_t sendRequest(const uint8_t* head, const Parcel& data, const Deadline& deadline);
    // Sends the queued bytes, taking in replies meanwhile, until `deadline`.
    status_t drain(const Deadline& deadline);
    // Waits for the reply to `serial` into `into`.
    status_t awaitReply(uint32_t serial, Parcel* into, const Deadline& deadline);
    // The entry of the call `serial`; null when none waits.
    std::pair<uint32_t, PendingReply*>* findPending(uint32_t serial);
    // Hands a reply to the call that waits for it; false when it is not a reply.
    bool settle(Message& message, size_t* settledBytes);
    // Ends the channel: every waiting call fails with `why`.
    void end(status_t why);

    Stream stream_;
    int timeoutMs_;
    sp<ChannelDirectory> directory_;
    uint64_t host_;
    uint32_t generation_;
    uint32_t nextSerial_ = 1;
    // Calls queued by start() and not yet sent.
    ByteBuffer out_;
    // Calls started and not yet answered, in serial order, from pendingFront_ on; a
    // settled or cancelled one stays as a null entry until those before it are gone. Room
    // is reused, so that calls allocate nothing once it has grown.
    std::vector<std::pair<uint32_t, PendingReply*>> pending_;
    size_t pendingFront_ = 0;
    // Receives the replies taken in for others, and those no one waits for.
    Message scratch_;
};

}  // namespace zorlek
