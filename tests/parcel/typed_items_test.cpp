// SPDX-License-Identifier: Apache-2.0
// The typed values of interface descriptions on parcels: the exact bytes of each type, and
// reads of hostile bytes that fail without moving and without allocating what a length
// claims.

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/ipc.h"
#include "tests/support/bytes.h"

namespace zorlek::test {
namespace {

TEST(TypedItems, EachTypeHasItsExactEncoding) {
    struct Row {
        const char* what;
        status_t (*write)(Parcel&);
        Bytes bytes;
    } rows[] = {
        {"i32", [](Parcel& p) { return writeItem(p, int32_t{-2}); }, i32(0xFFFFFFFE)},
        {"i64, low word first",
         [](Parcel& p) { return writeItem(p, int64_t{0x0102030405060708}); },
         {8, 7, 6, 5, 4, 3, 2, 1}},
        {"negative i64", [](Parcel& p) { return writeItem(p, int64_t{-2}); },
         cat({i32(0xFFFFFFFE), i32(0xFFFFFFFF)})},
        {"true", [](Parcel& p) { return writeItem(p, true); }, i32(1)},
        {"false", [](Parcel& p) { return writeItem(p, false); }, i32(0)},
        {"s16", [](Parcel& p) { return writeItem(p, String16(u"hi")); }, s16(u"hi")},
        {"null s16?", [](Parcel& p) { return writeItem(p, std::optional<String16>()); },
         i32(0xFFFFFFFF)},
        {"empty s16?", [](Parcel& p) { return writeItem(p, std::optional<String16>(String16())); },
         s16(u"")},
        {"no bytes", [](Parcel& p) { return writeItem(p, std::vector<uint8_t>{}); }, i32(0)},
        {"bytes padded to 4",
         [](Parcel& p) {
             return writeItem(p, std::vector<uint8_t>{1, 2, 3, 4, 5});
         },
         {5, 0, 0, 0, 1, 2, 3, 4, 5, 0, 0, 0}},
        {"an array of i32",
         [](Parcel& p) {
             return writeItem(p, std::vector<int32_t>{1, 2});
         },
         cat({i32(2), i32(1), i32(2)})},
        {"an array of bool",
         [](Parcel& p) {
             return writeItem(p, std::vector<bool>{true, false});
         },
         cat({i32(2), i32(1), i32(0)})},
        {"an array of arrays",
         [](Parcel& p) {
             return writeItem(p, std::vector<std::vector<int64_t>>{{}, {3}});
         },
         cat({i32(2), i32(0), i32(1), i32(3), i32(0)})},
        {"an array of bytes",
         [](Parcel& p) { return writeItem(p, std::vector<std::vector<uint8_t>>{{9}}); },
         cat({i32(1), i32(1), {9, 0, 0, 0}})},
    };
    for (const Row& row : rows) {
        Parcel parcel;
        EXPECT_EQ(row.write(parcel), OK) << row.what;
        EXPECT_EQ(bytesOf(parcel), row.bytes) << row.what;
    }
}

TEST(TypedItems, WhatIsWrittenReadsBack) {
    Parcel parcel;
    std::vector<std::optional<String16>> texts = {std::nullopt, String16(u"\xD800"), String16()};
    std::vector<std::vector<uint8_t>> blobs = {{}, {1}, {1, 2, 3, 4}};
    writeItem(parcel, INT64_MIN);
    writeItem(parcel, texts);
    writeItem(parcel, blobs);
    writeItem(parcel, String16(std::u16string(u"a\0", 2)));
    int64_t big = 0;
    std::vector<std::optional<String16>> textsBack;
    std::vector<std::vector<uint8_t>> blobsBack;
    String16 text;
    EXPECT_EQ(readItem(parcel, &big), OK);
    EXPECT_EQ(readItem(parcel, &textsBack), OK);
    EXPECT_EQ(readItem(parcel, &blobsBack), OK);
    EXPECT_EQ(readItem(parcel, &text), OK);
    EXPECT_EQ(big, INT64_MIN);
    EXPECT_EQ(textsBack, texts);
    EXPECT_EQ(blobsBack, blobs);
    EXPECT_EQ(text, String16(std::u16string(u"a\0", 2)));
    EXPECT_EQ(parcel.dataAvail(), 0u);
}

// Reads one value of T from `bytes`; the status, and that a failure did not move.
template <typename T>
status_t readFrom(const Bytes& bytes) {
    Parcel parcel;
    parcel.setData(bytes.data(), bytes.size());
    parcel.setDataPosition(0);
    T value{};
    status_t status = readItem(parcel, &value);
    if (status != OK) {
        EXPECT_EQ(parcel.dataPosition(), 0u);
    }
    return status;
}

TEST(TypedItems, HostileBytesAreRefusedWhereTheyStand) {
    struct Row {
        const char* what;
        status_t (*read)(const Bytes&);
        Bytes bytes;
        status_t status;
    } rows[] = {
        {"i32 of nothing", readFrom<int32_t>, {}, -EBADMSG},
        {"i32 of 3 bytes", readFrom<int32_t>, {1, 2, 3}, -EBADMSG},
        {"i64 of one word", readFrom<int64_t>, i32(1), -EBADMSG},
        {"bool of 2", readFrom<bool>, i32(2), -EBADMSG},
        {"bool of -1", readFrom<bool>, i32(0xFFFFFFFF), -EBADMSG},
        {"bool of 1", readFrom<bool>, i32(1), OK},
        {"null for s16", readFrom<String16>, i32(0xFFFFFFFF), -EBADMSG},
        {"null for s16?", readFrom<std::optional<String16>>, i32(0xFFFFFFFF), OK},
        {"s16 past the end", readFrom<String16>, cat({i32(3), i32(0x410041)}), -EBADMSG},
        {"s16 of negative length", readFrom<String16>, cat({i32(0xFFFFFFFE), i32(0)}), -EBADMSG},
        {"s16 without its terminator", readFrom<String16>, cat({i32(1), {'a', 0, 'b', 0}}),
         -EBADMSG},
        {"s16 whose padding is not zero", readFrom<String16>, cat({i32(0), {0, 0, 0, 1}}),
         -EBADMSG},
        {"bytes past the end", readFrom<std::vector<uint8_t>>, cat({i32(5), i32(0)}), -EBADMSG},
        {"bytes of negative length", readFrom<std::vector<uint8_t>>, i32(0x80000000), -EBADMSG},
        {"bytes whose padding is not zero", readFrom<std::vector<uint8_t>>,
         cat({i32(1), {1, 0, 2, 0}}), -EBADMSG},
        {"bytes without their padding", readFrom<std::vector<uint8_t>>, cat({i32(1), {1}}),
         -EBADMSG},
        // A count is checked against the bytes left (4 an item at least) before any item.
        {"a count of INT32_MAX", readFrom<std::vector<int32_t>>, cat({i32(0x7FFFFFFF), i32(0)}),
         -EBADMSG},
        {"a count one past the bytes", readFrom<std::vector<bool>>, cat({i32(2), i32(1)}),
         -EBADMSG},
        {"a negative count", readFrom<std::vector<int32_t>>, i32(0xFFFFFFFF), -EBADMSG},
        {"an item of an array", readFrom<std::vector<bool>>, cat({i32(2), i32(1), i32(3)}),
         -EBADMSG},
        {"an inner count", readFrom<std::vector<std::vector<int64_t>>>,
         cat({i32(1), i32(1), i32(0)}), -EBADMSG},
    };
    for (const Row& row : rows) EXPECT_EQ(row.read(row.bytes), row.status) << row.what;
}

TEST(TypedItems, ValuesThatCannotFitFailTheParcel) {
    Parcel parcel;
    EXPECT_EQ(writeArrayCount(parcel, kMaxParcelSize / 4 + 1), -EMSGSIZE);
    EXPECT_EQ(parcel.status(), -EMSGSIZE);
    EXPECT_EQ(parcel.dataSize(), 0u);
    Parcel bytes;
    std::vector<uint8_t> big(kMaxParcelSize, 0);
    EXPECT_EQ(writeItem(bytes, big), -EMSGSIZE);
    EXPECT_EQ(bytes.status(), -EMSGSIZE);
    // Once failed, every later write reports it.
    EXPECT_EQ(writeItem(bytes, int32_t{1}), -EMSGSIZE);
}

}  // namespace
}  // namespace zorlek::test
