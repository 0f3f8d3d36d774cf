// SPDX-License-Identifier: Apache-2.0
#include "platform/base/call_record.h"

#include <cerrno>

#include "platform/base/limits.h"
#include "platform/base/little_endian.h"

namespace zorlek {
namespace {

bool snapFits(uint32_t snapSize, uint32_t fullSize) {
    return snapSize <= static_cast<uint32_t>(kMaxSnapLength) && snapSize <= fullSize;
}

status_t writeSnap(const uint8_t* bytes, uint32_t size, Parcel* out) {
    out->writeInt32(static_cast<int32_t>(size));
    return size == 0 ? out->status() : out->write(bytes, size);
}

// Reads one snap at `*at`, advancing it; false when it is malformed.
bool readSnap(const uint8_t* bytes, size_t size, size_t* at, uint32_t fullSize,
              const uint8_t** snap, uint32_t* snapSize) {
    if (size - *at < 4) return false;
    int32_t length = static_cast<int32_t>(loadLe32(bytes + *at));
    *at += 4;
    if (length < 0 || !snapFits(static_cast<uint32_t>(length), fullSize)) return false;
    size_t padded = (static_cast<size_t>(length) + 3) & ~size_t{3};
    if (size - *at < padded) return false;
    for (size_t i = static_cast<size_t>(length); i < padded; ++i) {
        if (bytes[*at + i] != 0) return false;
    }
    *snap = bytes + *at;
    *snapSize = static_cast<uint32_t>(length);
    *at += padded;
    return true;
}

}  // namespace

status_t encodeCallRecord(const CallRecord& r, Parcel* out) {
    if (!snapFits(r.requestSnapSize, r.requestSize) || !snapFits(r.replySnapSize, r.replySize) ||
        r.direction > CALL_BACK) {
        return -EINVAL;
    }
    const uint32_t words[] = {static_cast<uint32_t>(r.timeUs),
                              static_cast<uint32_t>(r.timeUs >> 32),
                              static_cast<uint32_t>(r.pid),
                              r.uid,
                              r.gid,
                              r.handle,
                              r.code,
                              r.flags,
                              static_cast<uint32_t>(r.status),
                              r.requestSize,
                              r.replySize,
                              r.durationUs,
                              r.direction};
    static_assert(sizeof(words) == kCallRecordFixedBytes);
    for (uint32_t word : words) out->writeInt32(static_cast<int32_t>(word));
    writeSnap(r.requestSnap, r.requestSnapSize, out);
    return writeSnap(r.replySnap, r.replySnapSize, out);
}

status_t decodeCallRecord(const uint8_t* bytes, size_t size, CallRecord* out) {
    if (bytes == nullptr || size < kCallRecordMinBytes || size % 4 != 0) return -EBADMSG;
    uint32_t w[kCallRecordFixedBytes / 4];
    for (size_t i = 0; i < kCallRecordFixedBytes / 4; ++i) w[i] = loadLe32(bytes + 4 * i);
    CallRecord r;
    r.timeUs = uint64_t{w[1]} << 32 | w[0];
    r.pid = static_cast<int32_t>(w[2]);
    r.uid = w[3];
    r.gid = w[4];
    r.handle = w[5];
    r.code = w[6];
    r.flags = w[7];
    r.status = static_cast<int32_t>(w[8]);
    r.requestSize = w[9];
    r.replySize = w[10];
    r.durationUs = w[11];
    r.direction = w[12];
    if (r.direction > CALL_BACK || r.requestSize > kMaxParcelSize || r.replySize > kMaxParcelSize) {
        return -EBADMSG;
    }
    size_t at = kCallRecordFixedBytes;
    if (!readSnap(bytes, size, &at, r.requestSize, &r.requestSnap, &r.requestSnapSize) ||
        !readSnap(bytes, size, &at, r.replySize, &r.replySnap, &r.replySnapSize)) {
        return -EBADMSG;
    }
    *out = r;
    return OK;
}

}  // namespace zorlek
