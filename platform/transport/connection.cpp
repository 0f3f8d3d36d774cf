// SPDX-License-Identifier: Apache-2.0
#include "platform/transport/connection.h"

#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>

#include "platform/base/call_timeout.h"
#include "platform/transport/fd_closer.h"

namespace zorlek {

Connection::Connection(EventLoop& loop, unique_fd sock, ConnectionOwner& owner,
                       const ConnectionLimits& limits)
    : loop_(loop),
      sock_(std::move(sock)),
      owner_(owner),
      pauseBytes_(limits.pauseBytes),
      reader_(limits.readBuffer, limits.maxPayload, limits.releaseIdleBuffer),
      largeDeadline_(loop, [this] { close(-ETIMEDOUT); }) {
    if (limits.senderCredentials) reader_.takeCredentials();
}

Connection::~Connection() {
    if (sock_) loop_.unwatch(sock_.get());
    closeSocket(std::move(sock_));
    loop_.forget(this);
    if (budget_) {
        budget_->forget(this);
        if (underway_ > 0) budget_->end(underway_);
        budget_->recharge(charged_, 0);
    }
}

status_t Connection::start() {
    status_t status = loop_.watch(sock_.get(), EPOLLIN, this);
    if (status == OK) interest_ = EPOLLIN;
    return status;
}

status_t Connection::send(const MessageHeader& header, const Parcel& payload, unique_fd fd,
                          uint64_t tag) {
    return send(header, payload.data(), payload.dataSize(), std::move(fd), tag);
}

status_t Connection::send(const MessageHeader& header, const uint8_t* payload, size_t size,
                          unique_fd fd, uint64_t tag) {
    if (closed()) return -EPIPE;
    status_t status = out_.send(sock_.get(), header, payload, size, std::move(fd), tag);
    // Nothing went: the peer is still in step, and what ran out was not its doing.
    if (status == -EMSGSIZE || status == -ENOMEM || status == -ENOBUFS || status == -ETOOMANYREFS) {
        return status;
    }
    if (status != OK) {
        close(status);
        return status;
    }
    if (!reportSentFds()) return -EPIPE;
    if (out_.corked()) return OK;  // an answer of this connection's batch: its end settles it
    recharge();
    updateInterest();
    return closed() ? -EPIPE : OK;
}

bool Connection::reportSentFds() {
    if (!out_.hasFdOutcomes()) return !closed();
    for (const OutQueue::FdOutcome& outcome : out_.takeFdOutcomes()) {
        if (closed()) break;
        owner_.onDescriptorSent(*this, outcome.tag, outcome.status);
    }
    return !closed();
}

void Connection::close(status_t why) {
    if (closed()) return;
    loop_.unwatch(sock_.get());
    closeSocket(std::move(sock_));
    interest_ = 0;
    largeDeadline_.disarm();
    // What it held goes back to the party's budget now, not when it is destroyed.
    if (budget_) {
        budget_->forget(this);
        if (underway_ > 0) endLarge();
        for (Connection* waiting : budget_->recharge(charged_, 0)) loop_.wake(waiting);
        charged_ = 0;
        budget_.reset();
    }
    owner_.onClosed(*this, why);
}

status_t Connection::sendHeld() {
    if (closed()) return -EPIPE;
    status_t status = out_.uncork(sock_.get());
    if (status != OK) {
        close(status);
        return status;
    }
    if (!reportSentFds()) return -EPIPE;
    recharge();
    updateInterest();
    return closed() ? -EPIPE : OK;
}

void Connection::finish(status_t why) {
    if (closed()) return;
    out_.uncork(sock_.get());
    close(why);
}

size_t Connection::unreadByPeer() const {
    int unread = 0;
    if (closed() || ::ioctl(sock_.get(), SIOCOUTQ, &unread) != 0 || unread < 0) return 0;
    return static_cast<size_t>(unread);
}

bool Connection::peerHungUp() const {
    if (closed()) return true;
    pollfd p{sock_.get(), POLLRDHUP, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

void Connection::endLarge() {
    for (Connection* waiting : budget_->end(underway_)) loop_.wake(waiting);
    underway_ = 0;
}

void Connection::followLarge(size_t large) {
    bool underway = reader_.largeUnderway();
    if (large > 0 && underway) {
        underway_ = large;
        budget_->begin(large);
    } else if (underway_ > 0 && !underway) {
        endLarge();
    }
    // A large message ends within the call timeout from its beginning, or its connection
    // does: a peer that trickles it holds what it counts for no longer, whatever it sends.
    if (underway && !largeDeadline_.armed()) {
        largeDeadline_.armIn(callTimeoutMs());
    } else if (!underway) {
        largeDeadline_.disarm();
    }
}

void Connection::recharge() {
    if (!budget_) return;
    size_t now = out_.heldBytes() + reader_.heldBytes();
    if (now == charged_) return;
    for (Connection* waiting : budget_->recharge(charged_, now)) loop_.wake(waiting);
    charged_ = now;
}

void Connection::updateInterest() {
    if (closed()) return;
    // Messages read and left unhandled while paused go on once the pause lifts, also when
    // it lifts outside this connection's events (its queue drained by a later reply sent
    // on its own): the socket may bring nothing more to wake it.
    if (stalled_ && !paused()) loop_.wake(this);
    uint32_t wanted = 0;
    if (!paused() || reader_.largeAwaitsBytes()) {
        wanted |= EPOLLIN;
    } else if (budgetSpent()) {
        budget_->wait(this);
    }
    if (!out_.empty()) wanted |= EPOLLOUT;
    if (wanted == interest_) return;
    // Left unchanged, a refused change could leave answers unsent for good.
    status_t status = loop_.change(sock_.get(), wanted, this);
    if (status != OK) return close(status);
    interest_ = wanted;
}

bool Connection::handleBuffered() {
    bool alive = handleMessages();
    if (alive) recharge();
    return alive;
}

bool Connection::handleMessages() {
    stalled_ = false;
    waitingToBegin_ = false;
    for (;;) {
        if (queueFull() || (budgetSpent() && underway_ == 0)) {
            stalled_ = true;
            break;
        }
        // A message too large for the buffer begins only when the budget has room for all
        // of it; once begun, it is read to its end and handled whatever the budget.
        size_t large = budget_ && underway_ == 0 ? reader_.largeAhead() : 0;
        if (large > 0 && !budget_->mayBegin(large)) {
            waitingToBegin_ = true;
            budget_->waitToBegin(this);
            stalled_ = true;
            break;
        }
        Message& message = owner_.scratch_;
        int got = reader_.next(&message);
        followLarge(large);
        if (got == 0) break;
        if (got < 0) {
            close(got);
            return false;
        }
        if (!owner_.serves(*this, message.header.type)) {
            answerUnserved(message.header);
            closeAside(std::move(message.fd));
            if (closed()) return false;
            continue;
        }
        bool understood = owner_.onMessage(*this, message);
        // A descriptor the handler did not take was the peer's choice: it is let go off this
        // thread, now rather than when the message's room is next used.
        closeAside(std::move(message.fd));
        if (closed()) return false;
        if (!understood) {
            close(-EBADMSG);
            return false;
        }
    }
    return true;
}

void Connection::answerUnserved(const MessageHeader& header) {
    // A newer peer's message: answered that it is not known here, and the connection stays.
    if (header.type == MSG_ERROR || !out_.mayAnswerUnknown()) return;
    send(unknownTypeError(header), nullptr, 0);
}

void Connection::onEvents(uint32_t events) {
    if (closed()) return;
    if ((events & EPOLLOUT) != 0) {
        status_t status = out_.flush(sock_.get());
        if (status != OK) return close(status);
        if (!reportSentFds()) return;
        recharge();
    }
    // The answers of this batch leave together, after it.
    out_.cork();
    if (handleRead(events)) endBatch();
}

bool Connection::readNow() {
    if (closed() || paused() || stalled_ || !out_.empty()) return true;
    ssize_t n = reader_.fill(sock_.get());
    if (n == -EAGAIN) return false;
    out_.cork();
    if (handleFilled(n)) endBatch();
    return true;
}

void Connection::endBatch() {
    for (;;) {
        status_t status = out_.uncork(sock_.get());
        if (status != OK) return close(status);
        if (!reportSentFds()) return;
        // A batch cut short by its own answers goes on once they have gone; while they
        // wait in the queue, the socket's room to write brings it back.
        if (!stalled_ || paused()) break;
        out_.cork();
        if (!handleBuffered()) return;
    }
    recharge();
    updateInterest();
}

bool Connection::handleRead(uint32_t events) {
    // Requests read earlier may have waited for the queue to drain or the budget to free.
    if (!handleBuffered()) return false;
    if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) == 0) return true;
    if (paused() && !reader_.largeAwaitsBytes()) {
        // Not reading while answers wait; a peer that hung up is done anyway.
        if ((events & (EPOLLHUP | EPOLLERR)) != 0) close(-EPIPE);
        return !closed();
    }
    return handleFilled(reader_.fill(sock_.get()));
}

bool Connection::handleFilled(ssize_t n) {
    if (n == 0) {
        close(-EPIPE);
        return false;
    }
    if (n < 0 && n != -EAGAIN) {
        close(static_cast<status_t>(n));
        return false;
    }
    if (!handleBuffered()) return false;
    if (n > 0 && reader_.midMessage()) owner_.onPartial(*this);
    return !closed();
}

status_t Connection::serveUntil(const Deadline& deadline, const bool& done) {
    if (closed()) return -EPIPE;
    // Inside a batch its answers wait for its end; the call cannot.
    bool corked = out_.corked();
    status_t status = out_.uncork(sock_.get());
    if (status != OK) {
        close(status);
        return status;
    }
    while (!done && !closed()) {
        int left = deadline.remainingMs();
        if (left == 0) break;
        pollfd p{sock_.get(), static_cast<short>(POLLIN | (out_.empty() ? 0 : POLLOUT)), 0};
        int ready = ::poll(&p, 1, left);
        if (ready < 0 && errno != EINTR) {
            close(-errno);
            break;
        }
        if (ready <= 0) continue;
        uint32_t events = (p.revents & POLLOUT) != 0 ? uint32_t{EPOLLOUT} : 0u;
        if ((p.revents & (POLLIN | POLLHUP | POLLERR)) != 0) events |= EPOLLIN;
        // As the loop would: read once, handle the batch, send its answers.
        onEvents(events);
    }
    if (corked && !closed()) out_.cork();
    if (done) return OK;
    return closed() ? -EPIPE : -ETIMEDOUT;
}

}  // namespace zorlek
