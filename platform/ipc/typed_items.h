// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/base/parcel.h"
#include "platform/base/status.h"
#include "platform/text/string16.h"

namespace zorlek {

// The typed values of interface descriptions (.zi files), each made of a parcel's own items
// (all little-endian, every item a multiple of 4 bytes):
//
//   i32     int32_t                 a 32-bit integer
//   i64     int64_t                 two 32-bit integers, the low word first
//   bool    bool                    a 32-bit integer, 0 or 1
//   s16     String16                a UTF-16 string, never the null string
//   s16?    optional<String16>      a UTF-16 string, or the null string (length -1)
//   bytes   vector<uint8_t>         a 32-bit length, the bytes, zero padding to 4
//   T[]     vector<T>               a 32-bit count, then the items one after another
//   record  a struct                its fields in order, with nothing around them
//
// The classes zorlek-idl generates read and write through these (a record's own pair
// comes with it), and so does the tool's `invoke`.
//
// writeItem appends one value and returns 0, or the parcel's status() when this or an
// earlier write failed (-EMSGSIZE past 1 MiB, -ENOMEM).
//
// readItem reads one value at the read position and returns 0, or -EBADMSG when the bytes
// there are not one: too few, a bool other than 0 or 1, a null string where none may be,
// a length or count that the bytes left cannot hold, padding that is not zero. After a
// failure the read position is where it was and the value is unspecified. Nothing is
// allocated beyond what the bytes read describe: a count is checked against the bytes
// left before any item is read.
status_t writeItem(Parcel& parcel, int32_t value);
status_t writeItem(Parcel& parcel, int64_t value);
status_t writeItem(Parcel& parcel, bool value);
status_t writeItem(Parcel& parcel, const String16& value);
status_t writeItem(Parcel& parcel, const std::optional<String16>& value);
status_t writeItem(Parcel& parcel, const std::vector<uint8_t>& bytes);
// The same as writeItem of a byte vector, from `size` bytes at `bytes`.
status_t writeBytes(Parcel& parcel, const uint8_t* bytes, size_t size);
// An array's count; -EMSGSIZE (remembered as the parcel's status) for a count that no
// parcel could hold.
status_t writeArrayCount(Parcel& parcel, size_t count);

status_t readItem(Parcel& parcel, int32_t* value);
status_t readItem(Parcel& parcel, int64_t* value);
status_t readItem(Parcel& parcel, bool* value);
status_t readItem(Parcel& parcel, String16* value);
status_t readItem(Parcel& parcel, std::optional<String16>* value);
status_t readItem(Parcel& parcel, std::vector<uint8_t>* bytes);
// An array's count: -EBADMSG when it is negative or when that many items of at least 4
// bytes each would not fit in the bytes left (every typed value takes 4 bytes or more).
status_t readArrayCount(Parcel& parcel, size_t* count);

template <typename T>
status_t writeItem(Parcel& parcel, const std::vector<T>& items) {
    status_t status = writeArrayCount(parcel, items.size());
    for (size_t i = 0; status == OK && i < items.size(); ++i) {
        status = writeItem(parcel, static_cast<const T&>(items[i]));
    }
    return status;
}

template <typename T>
status_t readItem(Parcel& parcel, std::vector<T>* items) {
    size_t start = parcel.dataPosition();
    size_t count = 0;
    status_t status = readArrayCount(parcel, &count);
    items->clear();
    for (size_t i = 0; status == OK && i < count; ++i) {
        T item{};
        status = readItem(parcel, &item);
        if (status == OK) items->push_back(std::move(item));
    }
    if (status != OK) parcel.setDataPosition(start);
    return status;
}

}  // namespace zorlek
