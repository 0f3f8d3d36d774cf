// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <cstdint>

#include <vector>

#include "platform/base/byte_buffer.h"
#include "platform/base/ibinder.h"
#include "platform/base/refbase.h"
#include "platform/base/status.h"
#include "platform/text/string16.h"

namespace zorlek {

class TextOutput;

// An object reference a parcel carries: where its two words are, and the object.
struct ParcelObject {
    uint32_t offset = 0;
    sp<IBinder> object;
};

// An IPC message: items written one after another and read back in the same order.
//
// Encoding: every item is little-endian and 4-byte aligned, so the size is always a
// multiple of 4 for parcels built by writes.
//   32-bit integer    its 4 bytes
//   UTF-16 string     int32 length in units (-1 = null string), the units, one 0 unit,
//                     zero padding to a multiple of 4
//   object reference  int32 kind, int32 value; a null reference is 0, 0
//   interface token   as the UTF-16 string of the descriptor
// Writes remember their first failure (status()): once a write has failed, later writes
// do nothing, so a parcel is either complete or known to be broken, never missing an item
// in the middle. Reads are bounds-checked: a read past the end or of a malformed item
// fails with -EBADMSG (or -ENODATA at the very end) and leaves the read position
// unchanged. The parcel owns its bytes; it is a value that may be copied and moved.
class Parcel {
  public:
    Parcel() = default;
    // Copies hold the same bytes; a copy that cannot be given room is empty with status()
    // -ENOMEM.
    Parcel(const Parcel& other);
    Parcel& operator=(const Parcel& other);
    Parcel(Parcel&& other) noexcept = default;
    Parcel& operator=(Parcel&& other) noexcept = default;
    friend void swap(Parcel& a, Parcel& b) noexcept;

    // Appends one item each and returns 0, or the parcel's status() when this or an
    // earlier write failed (nothing is appended then). A write fails with -EMSGSIZE when
    // the parcel would pass kMaxParcelSize, and with -ENOMEM when no room can be had.
    status_t writeInt32(int32_t value);
    status_t writeString16(const String16& text);
    // Writes a null string (length -1).
    status_t writeNullString16();
    // Writes an object reference, null or not; the parcel holds the object until it is
    // cleared. Any object may be written: whether it can travel is settled when the parcel
    // is sent (an object of this process, or a proxy from the peer the parcel goes to; a
    // proxy to a third process fails the send with -EXDEV, nothing sent). Past
    // kMaxObjectsPerParcel objects the write fails with -E2BIG.
    status_t writeStrongBinder(const sp<IBinder>& object);
    // Marks the request as addressed to `descriptor`; the first write of a request.
    status_t writeInterfaceToken(const String16& descriptor);
    // Appends `size` raw bytes (zero-padded to a multiple of 4), such as another parcel's
    // data (its objects are not carried over: write them with writeStrongBinder).
    status_t write(const void* bytes, size_t size);

    // 0, or the failure of the first write that failed since the parcel was made,
    // cleared or given new data. A parcel with a failure must not be sent as complete.
    status_t status() const { return status_; }

    // Reads the next 32-bit integer.
    status_t readInt32(int32_t* out);
    // Reads the next UTF-16 string; a null string reads as the empty string.
    status_t readString16(String16* out);
    // As above, returning the string; any failure gives the empty string.
    String16 readString16();
    // Reads an object reference: null, or the object the parcel carries there (a proxy,
    // or this process's own object passed back). Two words that are no reference the
    // parcel carries are -EBADMSG.
    status_t readStrongBinder(sp<IBinder>* out);
    // The object references the parcel carries (not null ones), in the order written.
    size_t objectCount() const { return objects_.size(); }
    // Reads an interface token and checks that it names `descriptor`. False when it
    // does not or cannot be read.
    bool enforceInterface(const String16& descriptor);

    // The bytes written or received.
    const uint8_t* data() const { return bytes_.data(); }
    size_t dataSize() const { return bytes_.size(); }
    // Where the next read starts; a position past the end is clamped to the end.
    size_t dataPosition() const { return readPos_; }
    void setDataPosition(size_t pos) { readPos_ = pos < bytes_.size() ? pos : bytes_.size(); }
    // Bytes left to read.
    size_t dataAvail() const { return bytes_.size() - readPos_; }

    // Replaces the contents with a copy of `size` bytes, rewinds and clears status().
    // -EMSGSIZE (and the parcel left empty) when `size` passes kMaxParcelSize; -ENOMEM
    // (empty) when no room can be had.
    status_t setData(const uint8_t* bytes, size_t size);
    // Empties the parcel (keeping its capacity), rewinds and clears status().
    void clear();

    // Writes the dump: "Parcel(N bytes)", then per 16 bytes "  OFFSET: W W W W  TEXT"
    // (words as 8 hex digits of their little-endian value, text with '.' for bytes
    // outside 0x20-0x7E), lines joined by newlines with none at the end. `flags` is
    // reserved; pass 0.
    void print(TextOutput& out, uint32_t flags = 0) const;

  private:
    // The transport receives straight into a parcel's buffer.
    friend struct ParcelAccess;

    // Reserves `n` more bytes, padded to a multiple of 4 and zeroed; null (and status()
    // set) on -EMSGSIZE or after an earlier failure.
    uint8_t* grow(size_t n);
    // Remembers the first write failure; returns `status`.
    status_t fail(status_t status);

    ByteBuffer bytes_;
    // Empty for parcels without object references: they cost nothing more.
    std::vector<ParcelObject> objects_;
    size_t readPos_ = 0;
    status_t status_ = OK;
};

}  // namespace zorlek
