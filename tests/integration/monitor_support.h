// SPDX-License-Identifier: Apache-2.0
// Reading a tap as a monitor does, for the monitor tests: the next message, and its record.
#pragma once

#include <time.h>

#include "platform/base/call_record.h"
#include "tests/integration/ipc_support.h"

namespace zorlek::test {

// One message read off a tap.
struct TapMessage {
    MessageHeader header;
    Parcel payload;
    CallRecord record;  // for MSG_CALL_RECORD; its snaps point into `payload`
};

// The next message on `tap` within `timeoutMs`: 0, or the failure (-EPIPE once the host
// closed it, -ETIMEDOUT, -EBADMSG for a record that does not decode).
inline status_t nextOnTap(int tap, TapMessage* out, int timeoutMs = 5000) {
    status_t status =
        receiveMessage(tap, &out->header, &out->payload, nullptr, kMaxParcelSize, timeoutMs);
    if (status != OK || out->header.type != MSG_CALL_RECORD) return status;
    return decodeCallRecord(out->payload.data(), out->payload.dataSize(), &out->record);
}

// Microseconds since the epoch, now.
inline uint64_t wallNowUs() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return uint64_t(now.tv_sec) * 1000000 + uint64_t(now.tv_nsec) / 1000;
}

// A tap on `name` for this process (root, or the host's own user), or an invalid one.
inline unique_fd tapOn(const Registry& registry, const char* name, int32_t snaplen,
                       uint32_t* handle = nullptr) {
    sp<RegistryClient> client = clientOf(registry);
    uint32_t ignored = 0;
    unique_fd tap;
    if (!client ||
        client->monitor(String16(name), snaplen, handle ? handle : &ignored, &tap) != OK) {
        return unique_fd();
    }
    return tap;
}

}  // namespace zorlek::test
