// SPDX-License-Identifier: Apache-2.0
// The one connection type of the platform: a non-blocking stream socket in the event
// loop, with its message reader and its queue of unsent messages. Used for every registry
// connection (in the daemon and in a hosting process) and every channel a hosting process
// serves. The messages of one read are handled as a batch, and the answers they send on
// their own connection leave together, in one sendmsg, once the batch is done.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/base/deadline.h"
#include "platform/base/parcel.h"
#include "platform/base/unique_fd.h"
#include "platform/transport/budget.h"
#include "platform/transport/event_loop.h"
#include "platform/transport/message_reader.h"
#include "platform/transport/out_queue.h"

namespace zorlek {

class Connection;

// Receives what happens on the connections it made.
class ConnectionOwner {
  public:
    // Handles one complete message, in arrival order. Returns false when the message is
    // not the protocol: the connection is then closed with -EBADMSG. The handler may
    // send on any connection and close any, this one included. It may take the message's
    // descriptor; one it leaves is closed aside (fd_closer.h) once it returns.
    virtual bool onMessage(Connection& connection, Message& message) = 0;
    // The connection has ended (peer closed, socket failed, malformed bytes, or close()),
    // with `why`. Called once; the owner retires the connection to the loop here.
    virtual void onClosed(Connection& connection, status_t why) = 0;
    // A read left bytes that make no whole message yet (see Connection::buffered()). The
    // handler may close the connection.
    virtual void onPartial(Connection& /*connection*/) {}
    // A descriptor sent with a tag (see Connection::send) has gone with its message
    // (`status` 0), or its message went without it (`status` the kernel's refusal, as the
    // peer sees it in the message's value). Not called for a message still queued when the
    // connection closes. The handler may send, but not close any connection.
    virtual void onDescriptorSent(Connection& /*connection*/, uint64_t /*tag*/,
                                  status_t /*status*/) {}
    // True when the owner serves messages of `type` on `connection` now. The connection
    // answers any other with MSG_ERROR (while the answers waiting for the peer leave room:
    // OutQueue::mayAnswerUnknown) and passes it over; an unserved MSG_ERROR is passed over
    // unanswered. By default the types of this version but MSG_ERROR.
    virtual bool serves(const Connection& /*connection*/, uint32_t type) const {
        return knownMessageType(type) && type != MSG_ERROR;
    }

  protected:
    virtual ~ConnectionOwner() = default;

    // This owner as the connections it makes see it.
    ConnectionOwner& owner() { return *this; }

  private:
    friend class Connection;
    // Every message taken off any of this owner's connections passes through here in
    // turn, so the connections share one payload buffer.
    Message scratch_;
};

struct ConnectionLimits {
    // The most one receive reads into the connection's buffer; larger payloads are
    // received straight into their parcel.
    size_t readBuffer = 16 * 1024;
    // The largest payload accepted; a larger declared size is malformed.
    size_t maxPayload = kMaxParcelSize;
    // While this many bytes wait unsent, the connection is neither read nor are its
    // requests handled: a peer that does not read its answers stops being served, and
    // only it.
    size_t pauseBytes = 2 * kMaxParcelSize;
    // Free the read buffer whenever it holds nothing (connections mostly idle).
    bool releaseIdleBuffer = false;
    // Give every message its sender's credentials (Message::sender); the socket must
    // have SO_PASSCRED set.
    bool senderCredentials = false;
};

class Connection final : public EventSource {
  public:
    // Takes `sock` (connected, non-blocking). Nothing is watched before start().
    Connection(EventLoop& loop, unique_fd sock, ConnectionOwner& owner,
               const ConnectionLimits& limits);
    ~Connection() override;

    // Charges what the connection holds to `budget`, shared with the party's other
    // connections; the connection is not read while the budget is spent. A message too
    // large for its buffer begins only when the budget has room for all of it (see
    // budget.h), and once begun is read to its end and handled whatever the budget, within
    // the call timeout (callTimeoutMs()) from its beginning: a message not whole by then
    // closes the connection with -ETIMEDOUT, and what it held goes back. Before start().
    void setBudget(std::shared_ptr<Budget> budget) { budget_ = std::move(budget); }

    // Starts watching for requests. 0, or the -errno of the loop (nothing watched then).
    status_t start();

    // Sends a message (its header's size is set from the payload) with `fd` attached, at
    // once as far as the socket takes it (or, for an answer sent while this connection's
    // batch is handled, with the rest of the batch), the rest queued in order. Returns 0;
    // -EMSGSIZE for a payload over kMaxParcelSize; -ENOMEM, -ENOBUFS or -ETOOMANYREFS when
    // the message could be neither sent nor queued (memory, or the kernel's room for
    // descriptors in flight, ran out: not the peer's doing); in all of these nothing was
    // sent and the connection stays. -EPIPE when closed. A failing socket, or a message cut
    // in half, closes the connection and returns its status. With a `tag` other than 0, the
    // owner hears what became of `fd` (ConnectionOwner::onDescriptorSent): before this
    // returns when it went at once, else once its message leaves the queue.
    status_t send(const MessageHeader& header, const Parcel& payload, unique_fd fd = unique_fd(),
                  uint64_t tag = 0);
    status_t send(const MessageHeader& header, const uint8_t* payload, size_t size,
                  unique_fd fd = unique_fd(), uint64_t tag = 0);

    // For a call this end made over the connection, from inside a handler: sends what
    // waits (the call among it), then reads and handles what comes (calls back among it)
    // until `done` is set or `deadline` passes, the loop's other connections waiting
    // meanwhile. 0 once done; -ETIMEDOUT; -EPIPE when the connection closed.
    status_t serveUntil(const Deadline& deadline, const bool& done);
    // Keeps what is sent from now on in the queue, unsent, until sendHeld() (or the end of
    // a batch this connection handles): for messages no one waits for, sent in batches.
    void hold() { out_.cork(); }
    bool holding() const { return out_.corked(); }
    // Sends what was held as far as the socket takes it, the rest queued. 0; -EPIPE when
    // closed, or the failure of the socket, which closes the connection.
    status_t sendHeld();

    // Ends the connection: stops watching, closes the socket at once (the descriptors a
    // peer left in it going aside: see closeSocket()), and tells the owner once with `why`.
    // Nothing happens on a connection already closed.
    void close(status_t why);
    // Sends what waits as far as the socket takes it now (a refusal, say), then close().
    void finish(status_t why);
    bool closed() const { return !sock_.valid(); }

    // True when the peer has closed its end (also before that end-of-stream is read).
    bool peerHungUp() const;

    // Bytes that wait to be sent.
    size_t queuedBytes() const { return out_.queuedBytes(); }
    // Messages carrying a descriptor that wait to be sent.
    size_t queuedFds() const { return out_.queuedFds(); }
    // The bytes sent that the peer has not read yet (SIOCOUTQ); 0 when closed or unknown.
    size_t unreadByPeer() const;

    // The bytes received that make no whole message yet (see MessageReader::buffered()).
    const uint8_t* buffered(size_t* size) const { return reader_.buffered(size); }
    // The memory the connection holds for what it reads and what waits to be sent; still
    // held when it has closed, until it is destroyed.
    size_t heldBytes() const { return reader_.heldBytes() + out_.heldBytes(); }
    // A number the owner gives the connection to find its own record.
    uint64_t id() const { return id_; }
    void setId(uint64_t id) { id_ = id; }

    void onEvents(uint32_t events) override;
    // One read without waiting, handled as a readable event: false when nothing was there.
    // A connection not at rest (ended, paused, answers unsent) says true at once.
    bool readNow() override;

  private:
    // True while neither reading nor handling requests: too much unsent, the budget spent,
    // or a large message waiting for room in it to begin. A large message under way is
    // taken in and handled all the same: only that frees what it holds.
    bool paused() const { return queueFull() || budgetSpent() || waitingToBegin_; }
    bool queueFull() const { return out_.queuedBytes() >= pauseBytes_; }
    bool budgetSpent() const { return budget_ && budget_->spent(); }
    // The large message under way is done: the budget counts it no more.
    void endLarge();
    // Answers a message the owner does not serve, as ConnectionOwner::serves() says.
    void answerUnserved(const MessageHeader& header);
    // Settles the budget and the deadline after a take from the reader, for `large` (the
    // size of a large message that may have begun, 0 when none could).
    void followLarge(size_t large);
    // Handles the messages already read while not paused; false once closed.
    bool handleBuffered();
    bool handleMessages();
    // Handles what was read before, then reads once (for `events`) and handles that.
    bool handleRead(uint32_t events);
    // Handles what one read returned (`n`, as MessageReader::fill); false once closed.
    bool handleFilled(ssize_t n);
    // Sends the answers of the batch, goes on with one its answers cut short, and settles
    // the budget and what the loop watches for.
    void endBatch();
    // Watches for what the connection needs now; closes it when epoll refuses.
    void updateInterest();
    // Charges the budget with what the connection holds now, waking the connections that
    // waited for it when that frees it.
    void recharge();
    // Tells the owner what became of the tagged descriptors that have gone; false once
    // the connection has closed.
    bool reportSentFds();

    EventLoop& loop_;
    unique_fd sock_;
    ConnectionOwner& owner_;
    size_t pauseBytes_;
    MessageReader reader_;
    OutQueue out_;
    uint32_t interest_ = 0;
    uint64_t id_ = 0;
    std::shared_ptr<Budget> budget_;
    size_t charged_ = 0;
    // True when handling stopped because the connection paused.
    bool stalled_ = false;
    // The size of the large message under way, counted in the budget; 0 when none is.
    size_t underway_ = 0;
    // True while a large message waits for room in the budget to begin.
    bool waitingToBegin_ = false;
    // Ends the connection when a large message under way is not whole in time.
    Timer largeDeadline_;
};

}  // namespace zorlek
