// SPDX-License-Identifier: Apache-2.0
// The client's end of a channel to one hosting process, shared by every proxy that one
// registry connection holds to that host's objects. Calls carry a serial and replies name
// the serial they answer, so replies may come in any order and a reply held back by the
// host holds back no other. A call's request goes out as far as the socket takes it at
// once; the rest waits in the channel's queue and leaves while the caller waits. Every
// wait, of one call or of many, is ClientChannel::wait(). Used from one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/base/deadline.h"
#include "platform/base/parcel.h"
#include "platform/base/refbase.h"
#include "platform/transport/channel_end.h"
#include "platform/transport/client_connection.h"
#include "platform/transport/poll_budget.h"

struct pollfd;

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
    // The descriptor a foreign event loop watches for the channels' calls back (an epoll
    // set of every channel of this directory), made at the first ask; -1 when it cannot be.
    int pollFd();
    // Starts and ends watching `channel` in that set (nothing before the first pollFd()).
    void watch(ClientChannel* channel);
    void unwatch(ClientChannel* channel);
    // Reads each channel that has something, without waiting: calls back are served,
    // releases taken, hang-ups end their channels.
    status_t serveReady();
    // Notices of channels that ended, told at the client's next dispatch.
    void noticesDue(std::vector<sp<DeathRecipient>> due);
    std::vector<sp<DeathRecipient>> takeNotices() { return std::exchange(notices_, {}); }
    bool hasNotices() const { return !notices_.empty(); }

    ~ChannelDirectory() override;

  private:
    std::vector<sp<DeathRecipient>> notices_;
    unique_fd poll_;
    std::vector<ClientChannel*> watched_;
    std::unordered_map<uint64_t, ClientChannel*> channels_;
    std::vector<uint64_t> releases_;
    uint32_t generation_ = 1;
};

// Where the reply of a call started with ClientChannel::start() goes when it arrives.
struct PendingReply {
    bool done = false;
    status_t status = OK;
    Parcel reply;  // empty after any non-zero status
    // Set by the caller before start(): the call may be asked again, so a reply that comes
    // ahead of its turn when no room is left to hold it may be dropped.
    bool mayDrop = false;
    // Set with `done` when the reply was dropped so: the call is to be asked again.
    bool dropped = false;
    // The room `reply` takes, counted in the HeldReplies of the wait that took it in.
    size_t heldBytes = 0;
};

// The replies taken in ahead of their turn and held, against a bound: what they take, and
// the bound past which a wait reads only the awaited call's channel and drops the replies
// that may be dropped.
struct HeldReplies {
    size_t bytes = 0;
    size_t limit = 0;
};

// The channels a wait serves besides the awaited call's (which may be among them): the
// calls queued on them are sent and their replies taken in meanwhile. `polled` and
// `polledChannels` have room for count + 1 entries.
struct OtherChannels {
    const sp<ClientChannel>* channels = nullptr;
    size_t count = 0;
    ::pollfd* polled = nullptr;
    ClientChannel** polledChannels = nullptr;
};

// True when the serial `a` was given out before `b`. Serials wrap after 2^32 calls on a
// channel; the calls awaited at once always span far less than half of that.
constexpr bool serialBefore(uint32_t a, uint32_t b) {
    return static_cast<int32_t>(a - b) < 0;
}

// A channel carries calls both ways: calls back to objects this client passed are served
// whenever the channel is read (while a call waits, or at ServiceManager::dispatch()), as
// a host serves its calls (ChannelEnd::serve).
class ClientChannel final : public ChannelEnd {
  public:
    // Takes `sock`, a connected Unix stream socket to the host numbered `host`. Every wait
    // is bounded by `timeoutMs` on its own. `directory` (may be null) is told when the
    // channel goes. Calls are numbered from `firstSerial` on (tests start near the wrap).
    ClientChannel(unique_fd sock, int timeoutMs, sp<ChannelDirectory> directory = nullptr,
                  uint64_t host = 0, uint32_t generation = 0, uint32_t firstSerial = 1);
    // Closes the socket through closeSocket() (fd_closer.h): the host may have left
    // descriptors unread in it, whose last close could block.
    ~ClientChannel() override;

    // One call to the object `handle`: with flags 0 waits for its reply (into `reply`,
    // which may be null); with FLAG_ONEWAY returns once the request is handed to the
    // socket. A pipeline of one: start(), then wait(). Returns the object's status, or
    // -EPIPE (channel gone), -ETIMEDOUT (no reply in time; the channel stays unless part
    // of the request was still unsent, and the late reply is dropped), -EMSGSIZE (request
    // over 1 MiB, nothing sent; or a reply over 1 MiB, refused unread, the channel then
    // gone), -EBADMSG (malformed bytes; the channel then gone), -ENOMEM, or the request's
    // own status() when its building failed (nothing sent). After any non-zero status
    // `reply` is empty.
    status_t transact(uint32_t handle, uint32_t code, const Parcel& data, Parcel* reply,
                      uint32_t flags) override;
    ClientChannel* clientChannel() override { return this; }

    // Starts a two-way call whose reply goes to `pending` (which must stay until the call
    // is settled or cancelled): its request goes out at once as far as the socket takes it,
    // or joins the queue while the channel is corked. Returns its serial in `*serial`, or
    // a failure (nothing sent; after -EPIPE or a failed socket the channel is gone).
    status_t start(uint32_t handle, uint32_t code, const Parcel& data, PendingReply* pending,
                   uint32_t* serial);
    // Gives up waiting for the call `serial`; its reply, should it come, is dropped.
    void cancel(uint32_t serial);
    // Holds the calls started from now on in the queue until the next flush(), so that
    // many leave in one write.
    void cork() { connection_.cork(); }
    // Sends what the queue holds as far as the socket takes it now. A failure ends the
    // channel.
    void flush();
    // True while queued calls wait to be sent.
    bool wantsToSend() const { return connection_.wantsToSend(); }

    // Waits until `awaited` (the call `serial` on this channel) is settled, or, with
    // `awaited` null, until everything queued on this channel is sent, at most until
    // `deadline`: no traffic extends it. Meanwhile sends what `others` queued and takes in
    // the replies that every channel brings, each receive bounded by the time left. While
    // `held` (may be null: no room) has room, every channel is read; past it only this
    // one, whose replies to other calls are then dropped where their call allows (see
    // takeIn). At the deadline the awaited call is cancelled and settled with
    // -ETIMEDOUT, and a channel whose queue still holds part of a request ends. The one
    // wait of a client: of a call alone and of a CallPipeline.
    void wait(uint32_t serial, PendingReply* awaited, const Deadline& deadline,
              const OtherChannels& others, HeldReplies* held);

    // One receive of what is there (with `wait`, waiting inside it as receiveMayWait()
    // allows), settling the replies it completes. The reply of `awaited` is always kept;
    // another is kept and counted in `held` while it fits there, else dropped when its call
    // allows it (its PendingReply marked dropped), else kept all the same. A failure ends
    // the channel.
    void takeIn(const PendingReply* awaited, HeldReplies* held, bool wait = false);
    // Waits for `awaited` alone, from `startNs` (monotonicNs(), read as the wait began):
    // polls the socket for the channel's budget (poll_budget.h), then one receive that may
    // wait inside recvmsg, as takeIn(awaited, held, true).
    void awaitReply(const PendingReply* awaited, HeldReplies* held, int64_t startNs);
    // True when a receive may wait inside recvmsg and still end with `leftMs` to go
    // (Deadline::remainingMs()).
    bool receiveMayWait(int leftMs);
    // The room taken by a large reply being received, not yet whole.
    size_t partialBytes() const { return connection_.partialBytes(); }

    bool alive() const override { return connection_.valid(); }
    int fd() const { return connection_.fd(); }
    // Bytes waiting to be sent to the host.
    size_t queuedBytes() const { return connection_.queuedBytes(); }
    int timeoutMs() const { return timeoutMs_; }

  private:
    struct Pending {
        uint32_t serial;
        PendingReply* reply;  // null once settled or cancelled
    };

    // The entry of the call `serial`; null when none waits.
    Pending* findPending(uint32_t serial);
    // Handles one message from the host: a reply, a call back, a release; false when it
    // is none of these or malformed.
    bool take(Message& message, const PendingReply* awaited, HeldReplies* held);
    // Hands a reply to the call that waits for it.
    void settle(Message& message, const PendingReply* awaited, HeldReplies* held);
    status_t sendMessage(const MessageHeader& header, const Parcel& payload) override;
    void broken(status_t why) override { end(why); }
    // Gives up waiting (at the deadline, or when the wait itself failed): settles
    // `awaited` with `why`, and ends the channel when part of a request is still unsent.
    void giveUp(uint32_t serial, PendingReply* awaited, status_t why);
    // Ends the channel: every waiting call fails with `why`.
    void end(status_t why);

    ClientConnection connection_;
    PollBudget poll_{pollingAllowed(), processorsOnline()};
    int timeoutMs_;
    sp<ChannelDirectory> directory_;
    uint64_t host_;
    uint32_t generation_;
    uint32_t nextSerial_;
    // Calls started and not yet answered, in serial order, from pendingFront_ on; a
    // settled or cancelled one stays as a null entry until those before it are gone. Room
    // is reused, so that calls allocate nothing once it has grown.
    std::vector<Pending> pending_;
    size_t pendingFront_ = 0;
    // Receives every reply; its room goes to the call it answers, in exchange for that
    // call's own.
    Message scratch_;
    // Takes the reply of a call made without a reply parcel.
    Parcel discarded_;
    // The wire form of a request that carries objects, and the room of the calls back
    // served (request and reply).
    Parcel wire_;
    Parcel request_;
    Parcel reply_;
    // Set once this end passed an object: the host may call back, and each call says who.
    bool credentials_ = false;
};

}  // namespace zorlek
