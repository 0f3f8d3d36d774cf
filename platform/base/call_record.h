// SPDX-License-Identifier: Apache-2.0
// A record of one call, as a host writes it on a tap (MSG_CALL_RECORD) for a monitor to read.
//
// The payload is thirteen 32-bit little-endian words, then two snaps:
//   timeLow, timeHigh        when the call arrived (or was made), microseconds since the epoch
//   pid, uid, gid            the caller as the kernel gave it (pid 0: not known here)
//   handle                   the object called
//   code, flags              the transaction's code and flags (FLAG_ONEWAY)
//   status                   the call's status (0 or a negative errno)
//   requestSize, replySize   the full sizes, in bytes
//   durationUs               how long the host took (or, for a call back, waited)
//   direction                CALL_TO_HOST or CALL_BACK
//   request snap, reply snap each an int32 length, then the bytes, zero-padded to 4
// A snap is the first bytes of its parcel, at most kMaxSnapLength and never more than the
// parcel's full size. Bytes after the reply snap are fields of a newer host, skipped.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/base/limits.h"
#include "platform/base/parcel.h"
#include "platform/base/status.h"

namespace zorlek {

// CallRecord::direction: a call to an object of the host that writes the record, or a call
// back that host made to an object a client passed to it.
constexpr uint32_t CALL_TO_HOST = 0;
constexpr uint32_t CALL_BACK = 1;

// The fixed words of a record and the two snap lengths, in bytes.
constexpr size_t kCallRecordFixedBytes = 13 * 4;
constexpr size_t kCallRecordMinBytes = kCallRecordFixedBytes + 2 * 4;

struct CallRecord {
    uint64_t timeUs = 0;
    int32_t pid = 0;
    uint32_t uid = 0;
    uint32_t gid = 0;
    uint32_t handle = 0;
    uint32_t code = 0;
    uint32_t flags = 0;
    int32_t status = 0;
    uint32_t requestSize = 0;
    uint32_t replySize = 0;
    uint32_t durationUs = 0;
    uint32_t direction = CALL_TO_HOST;
    // Views, not owned: into the parcels when encoding, into the payload when decoded.
    const uint8_t* requestSnap = nullptr;
    uint32_t requestSnapSize = 0;
    const uint8_t* replySnap = nullptr;
    uint32_t replySnapSize = 0;
};

// Appends `record` to `out` as a MSG_CALL_RECORD payload. -EINVAL (nothing written) when a
// snap is longer than kMaxSnapLength or its parcel's size, or the direction is unknown;
// otherwise the parcel's write status.
status_t encodeCallRecord(const CallRecord& record, Parcel* out);

// Reads a MSG_CALL_RECORD payload of `size` bytes into `out`, whose snaps then point into
// `bytes`. -EBADMSG on any malformed record (too short, a size not a multiple of 4, a
// direction not known, a size past kMaxParcelSize, a snap length that is negative, longer
// than kMaxSnapLength, than its parcel or than the bytes left, or padding not zero); `out`
// is then untouched.
status_t decodeCallRecord(const uint8_t* bytes, size_t size, CallRecord* out);

}  // namespace zorlek
