// SPDX-License-Identifier: Apache-2.0
// The taps of a hosting process: connections the registry handed over for monitors, on
// which the host writes a record of every call it serves (MSG_CALL_RECORD). Writing never
// waits: each tap queues at most kTapQueueBytes, a record that does not fit is dropped and
// counted, and the count goes first (MSG_RECORDS_DROPPED) once a record fits again.
// Records leave in batches, kTapBatchMs after the first of each, so that a monitor costs a
// busy host one send per batch rather than one per call. A tap is only written: bytes from
// its monitor end it, as does its close. Internal to the hosting library.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/base/call_record.h"
#include "platform/base/parcel.h"
#include "platform/base/unique_fd.h"
#include "platform/transport/connection.h"
#include "platform/transport/message_reader.h"

namespace zorlek {

class CallTaps final : private ConnectionOwner {
  public:
    explicit CallTaps(EventLoop& loop);
    ~CallTaps() override;
    CallTaps(const CallTaps&) = delete;
    CallTaps& operator=(const CallTaps&) = delete;

    // True while a tap is kept: the one test a call pays when none is.
    bool attached() const { return !taps_.empty(); }
    // The taps kept now.
    size_t count() const { return taps_.size(); }

    // Keeps `sock` (the host's end of a tap) for the monitor `monitor` (as the registry
    // saw it), whose records carry at most `snaplen` bytes of each request and reply
    // (clamped to 0..kMaxSnapLength). Past kMaxTaps, or when it cannot be watched, `sock`
    // is closed: its monitor sees the tap end.
    void adopt(unique_fd sock, const ucred& monitor, int32_t snaplen);

    // A call served (`back` false: `peer` called this host's object) or made by this host
    // to an object a client passed it (`back` true: `peer` is that client): `call` its
    // request's header, `request` and `reply` (not sent for a one-way call), `status` what
    // came of it, `beganNs` when it began on the monotonic clock.
    void told(bool back, const MessageHeader& call, const ucred& peer, const Parcel& request,
              const Parcel& reply, status_t status, int64_t beganNs);

    // Writes `record` to every tap, its snaps (the whole request and reply) cut to each
    // tap's snaplen.
    void write(CallRecord record);

    // Records dropped on all taps since they were adopted (for tests and benchmarks).
    uint64_t droppedInAll() const { return droppedInAll_; }

  private:
    struct Tap {
        std::unique_ptr<Connection> connection;
        ucred monitor;
        uint32_t snaplen = 0;
        // Records dropped since the last MSG_RECORDS_DROPPED.
        uint32_t dropped = 0;
        bool gone = false;
    };

    // Queues `record` on `tap`, or counts it dropped.
    void writeTo(Tap& tap, CallRecord record);
    // A monitor never writes: any message from one, of any type, is malformed and ends
    // its tap (none is answered).
    bool onMessage(Connection& connection, Message& message) override;
    bool serves(const Connection& /*connection*/, uint32_t /*type*/) const override { return true; }
    void onClosed(Connection& connection, status_t why) override;
    // Retires the taps that ended while records were written.
    void sweep();
    // Sends the records held on every tap.
    void sendHeld();

    EventLoop& loop_;
    std::vector<Tap> taps_;
    Parcel record_;   // reused for each record
    Timer batchEnd_;  // sends the records held
    bool writing_ = false;
    uint64_t nextId_ = 1;
    uint64_t droppedInAll_ = 0;
};

}  // namespace zorlek
