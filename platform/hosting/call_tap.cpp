// SPDX-License-Identifier: Apache-2.0
#include "platform/hosting/call_tap.h"

#include <time.h>

#include <algorithm>
#include <new>

#include "platform/base/deadline.h"
#include "platform/base/ibinder.h"
#include "platform/transport/fd_closer.h"

namespace zorlek {
namespace {

constexpr ConnectionLimits kTapLimits = {
    // A monitor sends nothing: the smallest buffer, freed while idle, and no payload.
    .readBuffer = kHeaderSize,
    .maxPayload = 0,
    // Never paused for what waits: records past kTapQueueBytes are dropped instead.
    .pauseBytes = kTapQueueBytes + 2 * kMaxParcelSize,
    .releaseIdleBuffer = true,
};

int64_t wallClockUs() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return int64_t{now.tv_sec} * 1000000 + now.tv_nsec / 1000;
}

uint32_t clampedSnaplen(int32_t snaplen) {
    if (snaplen < 0) return 0;
    return static_cast<uint32_t>(snaplen < kMaxSnapLength ? snaplen : kMaxSnapLength);
}

}  // namespace

CallTaps::CallTaps(EventLoop& loop) : loop_(loop), batchEnd_(loop, [this] { sendHeld(); }) {}

CallTaps::~CallTaps() = default;

void CallTaps::adopt(unique_fd sock, const ucred& monitor, int32_t snaplen) {
    if (taps_.size() >= kMaxTaps) return closeSocket(std::move(sock));
    Tap tap;
    tap.monitor = monitor;
    tap.snaplen = clampedSnaplen(snaplen);
    tap.connection.reset(new (std::nothrow)
                             Connection(loop_, std::move(sock), owner(), kTapLimits));
    if (!tap.connection) return closeSocket(std::move(sock));
    tap.connection->setId(nextId_++);
    if (tap.connection->start() != OK) return;
    taps_.push_back(std::move(tap));
}

void CallTaps::told(bool back, const MessageHeader& call, const ucred& peer, const Parcel& request,
                    const Parcel& reply, status_t status, int64_t beganNs) {
    int64_t tookNs = monotonicNs() - beganNs;
    CallRecord record;
    record.timeUs = static_cast<uint64_t>(wallClockUs() - tookNs / 1000);
    record.pid = peer.pid;
    record.uid = peer.uid;
    record.gid = peer.gid;
    record.handle = call.object;
    record.code = call.code;
    record.flags = static_cast<uint32_t>(call.value);
    record.direction = back ? CALL_BACK : CALL_TO_HOST;
    record.durationUs = static_cast<uint32_t>(std::min<int64_t>(tookNs / 1000, UINT32_MAX));
    record.requestSize = static_cast<uint32_t>(request.dataSize());
    record.requestSnap = request.data();
    // A reply whose building failed goes as that failure, empty; a one-way call has none.
    record.status = reply.status() != OK ? reply.status() : status;
    if ((record.flags & FLAG_ONEWAY) == 0 && reply.status() == OK && record.status == OK) {
        record.replySize = static_cast<uint32_t>(reply.dataSize());
        record.replySnap = reply.data();
    }
    write(record);
}

void CallTaps::write(CallRecord record) {
    writing_ = true;
    for (Tap& tap : taps_) {
        if (!tap.gone) writeTo(tap, record);
    }
    writing_ = false;
    sweep();
}

void CallTaps::writeTo(Tap& tap, CallRecord record) {
    record.requestSnapSize = std::min(record.requestSize, tap.snaplen);
    record.replySnapSize = std::min(record.replySize, tap.snaplen);
    record_.clear();
    if (encodeCallRecord(record, &record_) != OK) return;
    Connection& connection = *tap.connection;
    size_t need = kHeaderSize + record_.dataSize() + (tap.dropped > 0 ? kHeaderSize : 0);
    if (connection.queuedBytes() + need > kTapQueueBytes) {
        ++droppedInAll_;
        if (tap.dropped < UINT32_MAX) ++tap.dropped;
        return;
    }
    if (!connection.holding()) {
        connection.hold();
        if (!batchEnd_.armed()) batchEnd_.armIn(kTapBatchMs);
    }
    if (tap.dropped > 0) {
        if (connection.send({MSG_RECORDS_DROPPED, tap.dropped}, nullptr, 0) != OK) return;
        tap.dropped = 0;
    }
    // A record that could not be queued (memory ran out) is dropped like one that did not
    // fit; a tap whose socket failed has closed.
    if (connection.send({MSG_CALL_RECORD}, record_) == -ENOMEM) {
        ++droppedInAll_;
        ++tap.dropped;
    }
    // Enough for one send: it goes now, and the batch's time starts again with the next.
    if (connection.holding() && connection.queuedBytes() >= kTapSendBytes) connection.sendHeld();
}

bool CallTaps::onMessage(Connection& /*connection*/, Message& /*message*/) {
    return false;
}

void CallTaps::onClosed(Connection& connection, status_t /*why*/) {
    for (Tap& tap : taps_) {
        if (tap.connection.get() == &connection) tap.gone = true;
    }
    if (!writing_) sweep();
}

void CallTaps::sendHeld() {
    writing_ = true;
    for (Tap& tap : taps_) {
        if (!tap.gone) tap.connection->sendHeld();
    }
    writing_ = false;
    sweep();
}

void CallTaps::sweep() {
    auto gone =
        std::partition(taps_.begin(), taps_.end(), [](const Tap& tap) { return !tap.gone; });
    for (auto it = gone; it != taps_.end(); ++it) loop_.retire(std::move(it->connection));
    taps_.erase(gone, taps_.end());
}

}  // namespace zorlek
