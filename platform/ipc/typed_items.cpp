// SPDX-License-Identifier: Apache-2.0
#include "platform/ipc/typed_items.h"

#include "platform/base/little_endian.h"

namespace zorlek {
namespace {

constexpr size_t padded(size_t n) {
    return (n + 3) & ~size_t{3};
}

// True when the `count` bytes at `at` are all zero.
bool allZero(const uint8_t* at, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (at[i] != 0) return false;
    }
    return true;
}

// Moves the read position back to `start` and fails as malformed.
status_t refuse(Parcel& parcel, size_t start) {
    parcel.setDataPosition(start);
    return -EBADMSG;
}

// Fails the parcel with -EMSGSIZE, as a write past its limit does, writing nothing.
status_t failTooLarge(Parcel& parcel) {
    return parcel.write(nullptr, kMaxParcelSize + 1);
}

}  // namespace

status_t writeItem(Parcel& parcel, int32_t value) {
    return parcel.writeInt32(value);
}

status_t writeItem(Parcel& parcel, int64_t value) {
    uint64_t bits = static_cast<uint64_t>(value);
    parcel.writeInt32(static_cast<int32_t>(static_cast<uint32_t>(bits)));
    return parcel.writeInt32(static_cast<int32_t>(static_cast<uint32_t>(bits >> 32)));
}

status_t writeItem(Parcel& parcel, bool value) {
    return parcel.writeInt32(value ? 1 : 0);
}

status_t writeItem(Parcel& parcel, const String16& value) {
    return parcel.writeString16(value);
}

status_t writeItem(Parcel& parcel, const std::optional<String16>& value) {
    return value ? parcel.writeString16(*value) : parcel.writeNullString16();
}

status_t writeItem(Parcel& parcel, const std::vector<uint8_t>& bytes) {
    return writeBytes(parcel, bytes.data(), bytes.size());
}

status_t writeBytes(Parcel& parcel, const uint8_t* bytes, size_t size) {
    if (size > kMaxParcelSize) return failTooLarge(parcel);
    parcel.writeInt32(static_cast<int32_t>(size));
    return parcel.write(bytes, size);
}

status_t writeArrayCount(Parcel& parcel, size_t count) {
    // Every item takes 4 bytes or more: past this the items could not fit, and the count
    // itself might read back as another.
    if (count > kMaxParcelSize / 4) return failTooLarge(parcel);
    return parcel.writeInt32(static_cast<int32_t>(count));
}

status_t readItem(Parcel& parcel, int32_t* value) {
    return parcel.readInt32(value) == OK ? OK : -EBADMSG;
}

status_t readItem(Parcel& parcel, int64_t* value) {
    if (parcel.dataAvail() < 8) return -EBADMSG;
    const uint8_t* at = parcel.data() + parcel.dataPosition();
    *value = static_cast<int64_t>(static_cast<uint64_t>(loadLe32(at)) |
                                  static_cast<uint64_t>(loadLe32(at + 4)) << 32);
    parcel.setDataPosition(parcel.dataPosition() + 8);
    return OK;
}

status_t readItem(Parcel& parcel, bool* value) {
    size_t start = parcel.dataPosition();
    int32_t word = 0;
    if (parcel.readInt32(&word) != OK || (word != 0 && word != 1)) return refuse(parcel, start);
    *value = word == 1;
    return OK;
}

status_t readItem(Parcel& parcel, String16* value) {
    size_t start = parcel.dataPosition();
    std::optional<String16> text;
    if (readItem(parcel, &text) != OK || !text) return refuse(parcel, start);
    *value = std::move(*text);
    return OK;
}

status_t readItem(Parcel& parcel, std::optional<String16>* value) {
    size_t start = parcel.dataPosition();
    if (parcel.dataAvail() < 4) return -EBADMSG;
    if (loadLe32(parcel.data() + start) == 0xFFFFFFFFu) {
        parcel.setDataPosition(start + 4);
        value->reset();
        return OK;
    }
    String16 text;
    if (parcel.readString16(&text) != OK) return refuse(parcel, start);
    // The units and their terminator are checked by the parcel; the padding after them is
    // zero in every string a parcel writes.
    size_t used = 4 + (text.size() + 1) * 2;
    if (!allZero(parcel.data() + start + used, padded(used) - used)) return refuse(parcel, start);
    *value = std::move(text);
    return OK;
}

status_t readItem(Parcel& parcel, std::vector<uint8_t>* bytes) {
    size_t start = parcel.dataPosition();
    int32_t length = 0;
    if (parcel.readInt32(&length) != OK || length < 0) return refuse(parcel, start);
    size_t size = static_cast<size_t>(length);
    // Compared with what is there before anything is sized from the untrusted length.
    if (size > parcel.dataAvail() || padded(size) > parcel.dataAvail()) {
        return refuse(parcel, start);
    }
    const uint8_t* at = parcel.data() + parcel.dataPosition();
    if (!allZero(at + size, padded(size) - size)) return refuse(parcel, start);
    bytes->assign(at, at + size);
    parcel.setDataPosition(parcel.dataPosition() + padded(size));
    return OK;
}

status_t readArrayCount(Parcel& parcel, size_t* count) {
    size_t start = parcel.dataPosition();
    int32_t value = 0;
    if (parcel.readInt32(&value) != OK || value < 0 ||
        static_cast<size_t>(value) > parcel.dataAvail() / 4) {
        return refuse(parcel, start);
    }
    *count = static_cast<size_t>(value);
    return OK;
}

}  // namespace zorlek
