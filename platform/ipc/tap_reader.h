// SPDX-License-Identifier: Apache-2.0
// The monitor's end of a tap: what a host writes on it (MSG_CALL_RECORD and
// MSG_RECORDS_DROPPED, platform/transport/wire.h), read through the one decoder and handed
// out whole. The monitor never writes on a tap; it only reads and closes.
#pragma once

#include <cstddef>
#include <cstdint>

#include <memory>

#include "platform/base/call_record.h"
#include "platform/base/unique_fd.h"

namespace zorlek {

class MessageReader;
struct Message;

// Where a tap's messages go.
class TapSink {
  public:
    virtual ~TapSink() = default;
    // One record of tap `tap`, decoded; `payload` is its `size` bytes as the host sent them,
    // into which the record's snaps point (valid during the call). False stops the reading
    // (the rest stays for the next read).
    virtual bool onRecord(size_t tap, const CallRecord& record, const uint8_t* payload,
                          size_t size) = 0;
    // The host of tap `tap` dropped `count` records since it last said so, for want of room.
    virtual void onDropped(size_t tap, uint32_t count) = 0;
};

// What a read left a tap as.
enum class TapState {
    kOpen,       // more may come
    kStopped,    // the sink stopped the reading; more may come
    kGone,       // the host closed it (it exited, or let the tap go)
    kMalformed,  // it sent what no host sends: a broken frame or record, a descriptor, a
                 // message of another known type
    kFailed,     // the socket failed (the error is in the reader's last status)
};

class TapReader {
  public:
    // Takes `tap` (connected, non-blocking), which is refused descriptors where the kernel
    // can. `index` is what the sink is told the records come from. One receive takes at
    // most `readBuffer` bytes; a message whose payload is over `maxPayload` is malformed.
    TapReader(unique_fd tap, size_t index, size_t readBuffer, size_t maxPayload);
    // Closes the tap without waiting on the host (closeSocket()).
    ~TapReader();
    TapReader(const TapReader&) = delete;
    TapReader& operator=(const TapReader&) = delete;

    int fd() const { return fd_.get(); }
    // One receive of what the tap holds now (without waiting), then each whole message to
    // `sink`, in order.
    TapState readOnce(TapSink& sink);
    // As readOnce() with `size` bytes the caller holds, as if received (tests, fuzzing);
    // more than the buffer takes at once is malformed here.
    TapState take(const uint8_t* bytes, size_t size, TapSink& sink);
    // The status of the failed receive that gave kFailed.
    status_t failure() const { return failure_; }

  private:
    TapState handOut(TapSink& sink);

    unique_fd fd_;
    size_t index_;
    std::unique_ptr<MessageReader> reader_;
    std::unique_ptr<Message> message_;
    status_t failure_ = OK;
};

}  // namespace zorlek
