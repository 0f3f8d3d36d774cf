// SPDX-License-Identifier: Apache-2.0
#include "platform/ipc/tap_reader.h"

#include "platform/transport/fd_closer.h"
#include "platform/transport/message_reader.h"
#include "platform/transport/wire.h"

namespace zorlek {

TapReader::TapReader(unique_fd tap, size_t index, size_t readBuffer, size_t maxPayload)
    : fd_(std::move(tap)),
      index_(index),
      reader_(std::make_unique<MessageReader>(readBuffer, maxPayload)),
      message_(std::make_unique<Message>()) {
    if (fd_) refuseDescriptors(fd_.get());
}

TapReader::~TapReader() {
    if (fd_) closeSocket(std::move(fd_));
}

TapState TapReader::readOnce(TapSink& sink) {
    ssize_t got = reader_->fill(fd_.get());
    if (got == 0) return TapState::kGone;
    if (got == -EAGAIN || got == -ENOBUFS) return handOut(sink);
    if (got == -EBADMSG) return TapState::kMalformed;
    if (got < 0) {
        failure_ = static_cast<status_t>(got);
        return got == -EPIPE || got == -ECONNRESET ? TapState::kGone : TapState::kFailed;
    }
    return handOut(sink);
}

TapState TapReader::take(const uint8_t* bytes, size_t size, TapSink& sink) {
    ssize_t taken = reader_->feed(bytes, size);
    if (taken < 0 || static_cast<size_t>(taken) != size) return TapState::kMalformed;
    return handOut(sink);
}

TapState TapReader::handOut(TapSink& sink) {
    for (;;) {
        int next = reader_->next(message_.get());
        if (next == 0) return TapState::kOpen;
        if (next == -ENOMEM) failure_ = -ENOMEM;
        if (next < 0) return next == -ENOMEM ? TapState::kFailed : TapState::kMalformed;
        const MessageHeader& header = message_->header;
        if (header.type == MSG_RECORDS_DROPPED) {
            sink.onDropped(index_, header.code);
        } else if (header.type == MSG_CALL_RECORD) {
            CallRecord record;
            const uint8_t* payload = message_->payload.data();
            size_t size = message_->payload.dataSize();
            if (decodeCallRecord(payload, size, &record) != OK) return TapState::kMalformed;
            if (!sink.onRecord(index_, record, payload, size)) return TapState::kStopped;
        } else if (knownMessageType(header.type)) {
            return TapState::kMalformed;
        }
        // A type this version does not know: what a newer host adds, passed over.
    }
}

}  // namespace zorlek
