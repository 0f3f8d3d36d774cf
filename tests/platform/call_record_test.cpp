// SPDX-License-Identifier: Apache-2.0
// Call records as a host writes them on a tap and a monitor reads them: the bytes of a
// record written by hand, records that round-trip, and hostile records of every kind.

#include <gtest/gtest.h>

#include "platform/base/call_record.h"
#include "platform/base/ibinder.h"
#include "tests/support/bytes.h"

namespace zorlek::test {
namespace {

// The thirteen words of a record, as a test writes them by hand.
struct Words {
    uint32_t timeLow = 0x89ABCDEF, timeHigh = 0x00012345;
    uint32_t pid = 4242, uid = 1000, gid = 100, handle = 7, code = 1, flags = 0;
    uint32_t status = 0, requestSize = 8, replySize = 4, durationUs = 12, direction = 0;

    Bytes bytes() const {
        return cat({i32(timeLow), i32(timeHigh), i32(pid), i32(uid), i32(gid), i32(handle),
                    i32(code), i32(flags), i32(status), i32(requestSize), i32(replySize),
                    i32(durationUs), i32(direction)});
    }
};

Bytes snap(uint32_t length, const Bytes& bytes) {
    return cat({i32(length), bytes});
}

Bytes recordBytes(const Words& w, const Bytes& request, const Bytes& reply) {
    return cat({w.bytes(), request, reply});
}

Bytes parcelBytes(const Parcel& p) {
    return Bytes(p.data(), p.data() + p.dataSize());
}

TEST(CallRecord, ReadsAndWritesARecordWrittenByHand) {
    Words w;
    Bytes bytes = recordBytes(w, snap(5, {1, 2, 3, 4, 5, 0, 0, 0}), snap(0, {}));
    CallRecord r;
    ASSERT_EQ(decodeCallRecord(bytes.data(), bytes.size(), &r), OK);
    EXPECT_EQ(r.timeUs, 0x0001234589ABCDEFull);
    EXPECT_EQ(r.pid, 4242);
    EXPECT_EQ(r.uid, 1000u);
    EXPECT_EQ(r.gid, 100u);
    EXPECT_EQ(r.handle, 7u);
    EXPECT_EQ(r.code, 1u);
    EXPECT_EQ(r.requestSize, 8u);
    EXPECT_EQ(r.replySize, 4u);
    EXPECT_EQ(r.durationUs, 12u);
    EXPECT_EQ(r.direction, CALL_TO_HOST);
    ASSERT_EQ(r.requestSnapSize, 5u);
    EXPECT_EQ(r.requestSnap, bytes.data() + kCallRecordFixedBytes + 4) << "a view, not a copy";
    EXPECT_EQ(Bytes(r.requestSnap, r.requestSnap + 5), (Bytes{1, 2, 3, 4, 5}));
    EXPECT_EQ(r.replySnapSize, 0u);
    Parcel again;
    ASSERT_EQ(encodeCallRecord(r, &again), OK);
    EXPECT_EQ(parcelBytes(again), bytes) << "written byte for byte as read";
}

TEST(CallRecord, WritesWhatItReadsBack) {
    const uint8_t request[] = {9, 8, 7, 6, 5, 4, 3};
    const uint8_t reply[] = {1};
    struct Case {
        const char* what;
        CallRecord record;
    };
    CallRecord twoWay;
    twoWay.timeUs = 1765000000123456ull;
    twoWay.pid = 77;
    twoWay.uid = 65534;
    twoWay.gid = 65534;
    twoWay.handle = 3;
    twoWay.code = 0xFFFFFFFF;
    twoWay.requestSize = 700;
    twoWay.replySize = 1;
    twoWay.durationUs = 99;
    twoWay.requestSnap = request;
    twoWay.requestSnapSize = sizeof(request);
    twoWay.replySnap = reply;
    twoWay.replySnapSize = sizeof(reply);
    CallRecord oneWay = twoWay;
    oneWay.flags = FLAG_ONEWAY;
    oneWay.replySize = 0;
    oneWay.replySnapSize = 0;
    oneWay.replySnap = nullptr;
    CallRecord failed = twoWay;
    failed.status = -EBADRQC;
    failed.pid = 0;
    CallRecord back = twoWay;
    back.direction = CALL_BACK;
    const Case cases[] = {
        {"two-way", twoWay}, {"one-way", oneWay}, {"failed", failed}, {"call back", back}};
    for (const Case& c : cases) {
        Parcel p;
        ASSERT_EQ(encodeCallRecord(c.record, &p), OK) << c.what;
        EXPECT_EQ(p.dataSize() % 4, 0u) << c.what;
        CallRecord r;
        ASSERT_EQ(decodeCallRecord(p.data(), p.dataSize(), &r), OK) << c.what;
        const CallRecord& e = c.record;
        EXPECT_EQ(r.timeUs, e.timeUs) << c.what;
        EXPECT_EQ(r.pid, e.pid) << c.what;
        EXPECT_EQ(r.uid, e.uid) << c.what;
        EXPECT_EQ(r.code, e.code) << c.what;
        EXPECT_EQ(r.flags, e.flags) << c.what;
        EXPECT_EQ(r.status, e.status) << c.what;
        EXPECT_EQ(r.replySize, e.replySize) << c.what;
        EXPECT_EQ(r.direction, e.direction) << c.what;
        EXPECT_EQ(Bytes(r.requestSnap, r.requestSnap + r.requestSnapSize),
                  Bytes(e.requestSnap, e.requestSnap + e.requestSnapSize))
            << c.what;
        EXPECT_EQ(Bytes(r.replySnap, r.replySnap + r.replySnapSize),
                  Bytes(e.replySnap, e.replySnap + e.replySnapSize))
            << c.what;
    }
}

TEST(CallRecord, RefusesToWriteWhatNoReaderTakes) {
    uint8_t big[kMaxSnapLength + 4] = {};
    struct Case {
        const char* what;
        uint32_t requestSize, requestSnapSize, replySize, replySnapSize, direction;
    };
    const Case cases[] = {
        {"request snap longer than the request", 4, 5, 0, 0, 0},
        {"reply snap longer than the reply", 0, 0, 3, 4, 0},
        {"snap past the longest", kMaxSnapLength + 4, kMaxSnapLength + 1, 0, 0, 0},
        {"unknown direction", 0, 0, 0, 0, 2},
    };
    for (const Case& c : cases) {
        CallRecord r;
        r.requestSize = c.requestSize;
        r.requestSnap = big;
        r.requestSnapSize = c.requestSnapSize;
        r.replySize = c.replySize;
        r.replySnap = big;
        r.replySnapSize = c.replySnapSize;
        r.direction = c.direction;
        Parcel p;
        EXPECT_EQ(encodeCallRecord(r, &p), -EINVAL) << c.what;
        EXPECT_EQ(p.dataSize(), 0u) << c.what;
    }
}

TEST(CallRecord, SkipsFieldsANewerHostAppends) {
    Bytes bytes = cat({recordBytes(Words(), snap(0, {}), snap(0, {})), i32(1), i32(2)});
    CallRecord r;
    EXPECT_EQ(decodeCallRecord(bytes.data(), bytes.size(), &r), OK);
}

TEST(CallRecord, RefusesHostileRecords) {
    Words longRequest;
    longRequest.requestSize = 3;
    Words hugeRequest;
    hugeRequest.requestSize = kMaxParcelSize + 4;
    Words hugeReply;
    hugeReply.replySize = 0xFFFFFFFF;
    Words sideways;
    sideways.direction = 2;
    Words hugeSizes;
    hugeSizes.requestSize = hugeSizes.replySize = kMaxParcelSize;
    const Bytes none = snap(0, {});
    const Bytes pad = {1, 2, 3, 4};
    Bytes tooLongSnap = snap(kMaxSnapLength + 4, Bytes(kMaxSnapLength + 4, 0));
    struct Case {
        const char* what;
        Bytes bytes;
    };
    const Case cases[] = {
        {"empty", {}},
        {"the words alone", Words().bytes()},
        {"one snap length missing", cat({Words().bytes(), none})},
        {"size not a multiple of 4", cat({recordBytes(Words(), none, none), Bytes{0}})},
        {"a direction not known", recordBytes(sideways, none, none)},
        {"a request past the parcel limit", recordBytes(hugeRequest, none, none)},
        {"a reply size of 0xFFFFFFFF", recordBytes(hugeReply, none, none)},
        {"a negative snap length", recordBytes(Words(), snap(0xFFFFFFFF, pad), none)},
        {"a snap length of 0x80000000", recordBytes(Words(), snap(0x80000000, pad), none)},
        {"a snap longer than its request", recordBytes(longRequest, snap(4, pad), none)},
        {"a snap longer than the longest", recordBytes(hugeSizes, tooLongSnap, none)},
        {"a snap past the end", recordBytes(Words(), snap(8, pad), none)},
        {"a reply snap past the end", recordBytes(Words(), none, snap(4, {}))},
        {"a snap length near 2^32 past the end", recordBytes(Words(), none, snap(0x7FFFFFFC, {}))},
        {"padding not zero", recordBytes(Words(), snap(1, {5, 0, 9, 0}), none)},
    };
    for (const Case& c : cases) {
        CallRecord r;
        r.code = 12345;
        EXPECT_EQ(decodeCallRecord(c.bytes.data(), c.bytes.size(), &r), -EBADMSG) << c.what;
        EXPECT_EQ(r.code, 12345u) << c.what << ": left untouched";
    }
    CallRecord r;
    EXPECT_EQ(decodeCallRecord(nullptr, 0, &r), -EBADMSG);
}

}  // namespace
}  // namespace zorlek::test
