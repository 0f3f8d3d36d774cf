// SPDX-License-Identifier: Apache-2.0
#include "platform/base/parcel.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/base/ibinder.h"
#include "platform/base/limits.h"
#include "platform/base/little_endian.h"
#include "platform/text/hex.h"
#include "platform/text/text_output.h"

namespace zorlek {
namespace {

constexpr size_t padded(size_t n) {
    return (n + 3) & ~size_t{3};
}

char* putHex32(char* at, uint32_t value) {
    for (int shift = 28; shift >= 0; shift -= 4) *at++ = lowerHexDigit(value >> shift);
    return at;
}

}  // namespace

Parcel::Parcel(const Parcel& other)
    : objects_(other.objects_), readPos_(other.readPos_), status_(other.status_) {
    if (!bytes_.assign(other.bytes_.data(), other.bytes_.size())) {
        objects_.clear();
        readPos_ = 0;
        status_ = -ENOMEM;
    }
}

Parcel& Parcel::operator=(const Parcel& other) {
    if (this == &other) return *this;
    readPos_ = other.readPos_;
    status_ = other.status_;
    objects_ = other.objects_;
    if (!bytes_.assign(other.bytes_.data(), other.bytes_.size())) {
        objects_.clear();
        readPos_ = 0;
        status_ = -ENOMEM;
    }
    return *this;
}

void swap(Parcel& a, Parcel& b) noexcept {
    a.bytes_.swap(b.bytes_);
    a.objects_.swap(b.objects_);
    std::swap(a.readPos_, b.readPos_);
    std::swap(a.status_, b.status_);
}

status_t Parcel::fail(status_t status) {
    if (status_ == OK) status_ = status;
    return status;
}

uint8_t* Parcel::grow(size_t n) {
    if (status_ != OK) return nullptr;
    // Compare against the room left before computing a padded size that could wrap.
    if (n > kMaxParcelSize - bytes_.size() || padded(n) > kMaxParcelSize - bytes_.size()) {
        fail(-EMSGSIZE);
        return nullptr;
    }
    size_t old = bytes_.size();
    if (!bytes_.resize(old + padded(n))) {
        fail(-ENOMEM);
        return nullptr;
    }
    return bytes_.data() + old;
}

status_t Parcel::writeInt32(int32_t value) {
    uint8_t* at = grow(4);
    if (at == nullptr) return status_;
    storeLe32(at, static_cast<uint32_t>(value));
    return OK;
}

status_t Parcel::writeString16(const String16& text) {
    size_t units = text.size();
    if (units > (kMaxParcelSize - 4) / 2 - 1) return status_ != OK ? status_ : fail(-EMSGSIZE);
    uint8_t* at = grow(4 + (units + 1) * 2);
    if (at == nullptr) return status_;
    storeLe32(at, static_cast<uint32_t>(units));
    at += 4;
    for (size_t i = 0; i < units; ++i) {
        at[2 * i] = static_cast<uint8_t>(text[i]);
        at[2 * i + 1] = static_cast<uint8_t>(text[i] >> 8);
    }
    // The terminating unit and the padding are already zero.
    return OK;
}

status_t Parcel::writeNullString16() {
    return writeInt32(-1);
}

status_t Parcel::writeStrongBinder(const sp<IBinder>& object) {
    if (status_ != OK) return status_;
    if (object && objects_.size() >= kMaxObjectsPerParcel) return fail(-E2BIG);
    size_t offset = bytes_.size();
    uint8_t* at = grow(8);
    if (at == nullptr) return status_;
    if (!object) return OK;
    // An object of the writer until the channel that sends it says otherwise.
    storeLe32(at, 1);
    objects_.push_back({static_cast<uint32_t>(offset), object});
    return OK;
}

status_t Parcel::writeInterfaceToken(const String16& descriptor) {
    return writeString16(descriptor);
}

status_t Parcel::write(const void* bytes, size_t size) {
    uint8_t* at = grow(size);
    if (at == nullptr) return status_;
    if (size > 0) std::memcpy(at, bytes, size);
    return OK;
}

status_t Parcel::readInt32(int32_t* out) {
    if (dataAvail() < 4) return dataAvail() == 0 ? -ENODATA : -EBADMSG;
    *out = static_cast<int32_t>(loadLe32(bytes_.data() + readPos_));
    readPos_ += 4;
    return OK;
}

status_t Parcel::readString16(String16* out) {
    size_t avail = dataAvail();
    if (avail < 4) return avail == 0 ? -ENODATA : -EBADMSG;
    const uint8_t* at = bytes_.data() + readPos_;
    int32_t length = static_cast<int32_t>(loadLe32(at));
    if (length == -1) {
        *out = String16();
        readPos_ += 4;
        return OK;
    }
    // Compare against what is there before computing sizes from an untrusted length.
    if (length < 0 || static_cast<size_t>(length) >= avail / 2) return -EBADMSG;
    size_t units = static_cast<size_t>(length);
    size_t itemSize = padded(4 + (units + 1) * 2);
    if (itemSize > avail) return -EBADMSG;
    const uint8_t* text = at + 4;
    if (text[units * 2] != 0 || text[units * 2 + 1] != 0) return -EBADMSG;
    std::u16string decoded(units, u'\0');
    for (size_t i = 0; i < units; ++i) {
        decoded[i] = static_cast<char16_t>(text[2 * i] | text[2 * i + 1] << 8);
    }
    *out = String16(std::move(decoded));
    readPos_ += itemSize;
    return OK;
}

String16 Parcel::readString16() {
    String16 text;
    if (readString16(&text) != OK) return String16();
    return text;
}

status_t Parcel::readStrongBinder(sp<IBinder>* out) {
    if (dataAvail() < 8) return dataAvail() == 0 ? -ENODATA : -EBADMSG;
    const uint8_t* at = bytes_.data() + readPos_;
    if (loadLe32(at) == 0 && loadLe32(at + 4) == 0) {
        *out = nullptr;
    } else {
        // Few objects a parcel: a look through them costs less than an index.
        const ParcelObject* found = nullptr;
        for (const ParcelObject& entry : objects_) {
            if (entry.offset == readPos_) found = &entry;
        }
        if (found == nullptr) return -EBADMSG;
        *out = found->object;
    }
    readPos_ += 8;
    return OK;
}

bool Parcel::enforceInterface(const String16& descriptor) {
    size_t start = readPos_;
    String16 token;
    if (readString16(&token) == OK && token == descriptor) return true;
    readPos_ = start;
    return false;
}

status_t Parcel::setData(const uint8_t* bytes, size_t size) {
    objects_.clear();
    readPos_ = 0;
    status_ = OK;
    if (size > kMaxParcelSize) {
        bytes_.clear();
        return -EMSGSIZE;
    }
    if (!bytes_.assign(bytes, size)) return -ENOMEM;
    return OK;
}

void Parcel::clear() {
    bytes_.clear();
    objects_.clear();
    readPos_ = 0;
    status_ = OK;
}

void Parcel::print(TextOutput& out, uint32_t /*flags*/) const {
    out << "Parcel(" << static_cast<uint32_t>(bytes_.size()) << " bytes)";
    // One line: "\n  " + 8 offset digits + ": " + 35 hex columns + "  " + 16 text bytes.
    char line[3 + 8 + 2 + 35 + 2 + 16];
    for (size_t offset = 0; offset < bytes_.size(); offset += 16) {
        size_t count = bytes_.size() - offset < 16 ? bytes_.size() - offset : 16;
        const uint8_t* chunk = bytes_.data() + offset;
        char* at = line;
        std::memcpy(at, "\n  ", 3);
        at = putHex32(at + 3, static_cast<uint32_t>(offset));
        *at++ = ':';
        *at++ = ' ';
        char* hexStart = at;
        for (size_t word = 0; word + 4 <= count; word += 4) {
            if (word != 0) *at++ = ' ';
            at = putHex32(at, loadLe32(chunk + word));
        }
        while (at < hexStart + 35) *at++ = ' ';
        *at++ = ' ';
        *at++ = ' ';
        for (size_t i = 0; i < count; ++i) {
            *at++ = chunk[i] >= 0x20 && chunk[i] <= 0x7E ? static_cast<char>(chunk[i]) : '.';
        }
        out.write(line, static_cast<size_t>(at - line));
    }
}

}  // namespace zorlek
