// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/ipc.h"
#include "platform/text.h"

namespace zorlek {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytesOf(const Parcel& p) {
    return Bytes(p.data(), p.data() + p.dataSize());
}

Parcel parcelOf(const Bytes& bytes) {
    Parcel p;
    EXPECT_EQ(p.setData(bytes.data(), bytes.size()), OK);
    return p;
}

std::string dumpOf(const Parcel& p) {
    String8 sink;
    TextOutput out(-1, nullptr, TextOutput::Flushing::kWhenFull);
    out.captureInto(&sink);
    p.print(out, 0);
    out.flush();
    return std::string(sink.data(), sink.size());
}

class Fixed : public IBinder {
  public:
    status_t sendTransaction(uint32_t, const Parcel&, Parcel*, uint32_t) override { return OK; }
};

TEST(ParcelWrite, EachItemKindHasItsExactEncoding) {
    struct Case {
        const char* name;
        status_t (*write)(Parcel&);
        Bytes bytes;
    };
    const Case cases[] = {
        {"int32", [](Parcel& p) { return p.writeInt32(7); }, {7, 0, 0, 0}},
        {"negative int32", [](Parcel& p) { return p.writeInt32(-2); }, {0xfe, 0xff, 0xff, 0xff}},
        {"empty string",
         [](Parcel& p) { return p.writeString16(String16("")); },
         {0, 0, 0, 0, 0, 0, 0, 0}},
        {"odd length is padded",
         [](Parcel& p) { return p.writeString16(String16("a")); },
         {1, 0, 0, 0, 'a', 0, 0, 0}},
        {"even length gets a padded terminator",
         [](Parcel& p) { return p.writeString16(String16("hi")); },
         {2, 0, 0, 0, 'h', 0, 'i', 0, 0, 0, 0, 0}},
        {"non-ascii unit is little-endian",
         [](Parcel& p) { return p.writeString16(String16("\xe2\x82\xac")); },
         {1, 0, 0, 0, 0xac, 0x20, 0, 0}},
        {"null string", [](Parcel& p) { return p.writeNullString16(); }, {0xff, 0xff, 0xff, 0xff}},
        {"null object",
         [](Parcel& p) { return p.writeStrongBinder(nullptr); },
         {0, 0, 0, 0, 0, 0, 0, 0}},
        {"interface token",
         [](Parcel& p) { return p.writeInterfaceToken(String16("x")); },
         {1, 0, 0, 0, 'x', 0, 0, 0}},
        {"raw bytes are padded",
         [](Parcel& p) { return p.write("abcde", 5); },
         {'a', 'b', 'c', 'd', 'e', 0, 0, 0}},
        {"no raw bytes", [](Parcel& p) { return p.write(nullptr, 0); }, {}},
    };
    for (const Case& c : cases) {
        Parcel p;
        EXPECT_EQ(c.write(p), OK) << c.name;
        EXPECT_EQ(bytesOf(p), c.bytes) << c.name;
        EXPECT_EQ(p.dataSize() % 4, 0u) << c.name;
    }
}

TEST(ParcelWrite, ObjectsAreCarriedUpToTheBoundAndReadBackInPlace) {
    Parcel p;
    sp<IBinder> object = sp<IBinder>(new Fixed());
    for (size_t i = 0; i < kMaxObjectsPerParcel; ++i) {
        ASSERT_EQ(p.writeStrongBinder(i % 2 == 0 ? object : nullptr), OK) << i;
    }
    for (size_t i = 0; i < kMaxObjectsPerParcel / 2; ++i)
        ASSERT_EQ(p.writeStrongBinder(object), OK);
    EXPECT_EQ(p.objectCount(), kMaxObjectsPerParcel);
    EXPECT_EQ(p.writeStrongBinder(object), -E2BIG);
    EXPECT_EQ(p.dataSize(), 8 * (kMaxObjectsPerParcel + kMaxObjectsPerParcel / 2));
    EXPECT_EQ(p.writeInt32(1), -E2BIG) << "the failure stays";
    // A copy carries them too; raw bytes in other places do not read as objects.
    Parcel copy(p);
    sp<IBinder> read;
    EXPECT_EQ(copy.readStrongBinder(&read), OK);
    EXPECT_EQ(read.get(), object.get());
    EXPECT_EQ(copy.readStrongBinder(&read), OK);
    EXPECT_FALSE(read);
    Parcel forged;
    forged.write(p.data(), 8);
    EXPECT_EQ(forged.readStrongBinder(&read), -EBADMSG);
    EXPECT_EQ(forged.dataPosition(), 0u);
}

TEST(ParcelWrite, TheFirstFailureStaysAndLaterWritesDoNothing) {
    // Each row fails one write in the middle of a parcel; whatever is written after it
    // must not land, so a reader can never take the rest for the missing item.
    struct Case {
        const char* name;
        status_t (*failing)(Parcel&);
        status_t status;
    };
    const Case cases[] = {
        {"string past the limit",
         [](Parcel& p) { return p.writeString16(String16(std::u16string(kMaxParcelSize, u'x'))); },
         -EMSGSIZE},
        {"raw bytes past the limit",
         [](Parcel& p) { return p.write(std::string(kMaxParcelSize, 'x').data(), kMaxParcelSize); },
         -EMSGSIZE},
        {"raw size that would wrap", [](Parcel& p) { return p.write("x", SIZE_MAX); }, -EMSGSIZE},
    };
    for (const Case& c : cases) {
        Parcel p;
        ASSERT_EQ(p.writeInt32(1), OK);
        EXPECT_EQ(c.failing(p), c.status) << c.name;
        EXPECT_EQ(p.writeInt32(2), c.status) << c.name;
        EXPECT_EQ(p.writeString16(String16("after")), c.status) << c.name;
        EXPECT_EQ(p.writeStrongBinder(nullptr), c.status) << c.name;
        EXPECT_EQ(p.write("abcd", 4), c.status) << c.name;
        EXPECT_EQ(bytesOf(p), (Bytes{1, 0, 0, 0})) << c.name;
        EXPECT_EQ(p.status(), c.status) << c.name;
        // Reads are not writes: what is there still reads back.
        int32_t value = 0;
        EXPECT_EQ(p.readInt32(&value), OK) << c.name;
        // Emptying the parcel, or giving it new data, starts afresh.
        p.clear();
        EXPECT_EQ(p.status(), OK) << c.name;
        EXPECT_EQ(p.writeInt32(3), OK) << c.name;
        c.failing(p);
        Bytes fresh{9, 0, 0, 0};
        EXPECT_EQ(p.setData(fresh.data(), fresh.size()), OK) << c.name;
        EXPECT_EQ(p.status(), OK) << c.name;
    }
}

TEST(ParcelWrite, StopsAtTheSizeLimitWithoutWriting) {
    Parcel p;
    std::u16string big((kMaxParcelSize - 8) / 2 - 1, u'x');
    ASSERT_EQ(p.writeString16(String16(big)), OK);
    EXPECT_EQ(p.dataSize(), kMaxParcelSize - 4);
    EXPECT_EQ(p.writeInt32(1), OK);
    EXPECT_EQ(p.dataSize(), kMaxParcelSize);
    EXPECT_EQ(p.status(), OK);
    EXPECT_EQ(p.writeInt32(2), -EMSGSIZE);
    EXPECT_EQ(p.writeString16(String16("")), -EMSGSIZE);
    EXPECT_EQ(p.dataSize(), kMaxParcelSize);
    Parcel q;
    EXPECT_EQ(q.writeString16(String16(std::u16string(kMaxParcelSize, u'x'))), -EMSGSIZE);
    EXPECT_EQ(q.dataSize(), 0u);
}

TEST(ParcelRead, ReadsBackWhatWasWritten) {
    Parcel p;
    p.writeInterfaceToken(String16("zorlek.IEcho"));
    p.writeInt32(-5);
    p.writeString16(String16("h\xc3\xa9llo"));
    p.writeNullString16();
    p.writeStrongBinder(nullptr);
    Parcel in = parcelOf(bytesOf(p));
    EXPECT_FALSE(in.enforceInterface(String16("zorlek.IOther")));
    EXPECT_EQ(in.dataPosition(), 0u) << "a failed check leaves the position alone";
    EXPECT_TRUE(in.enforceInterface(String16("zorlek.IEcho")));
    int32_t v = 0;
    EXPECT_EQ(in.readInt32(&v), OK);
    EXPECT_EQ(v, -5);
    EXPECT_EQ(in.readString16(), String16("h\xc3\xa9llo"));
    String16 s("not cleared");
    EXPECT_EQ(in.readString16(&s), OK);
    EXPECT_EQ(s.size(), 0u) << "a null string reads as empty";
    sp<IBinder> object(new Fixed());
    EXPECT_EQ(in.readStrongBinder(&object), OK);
    EXPECT_FALSE(object);
    EXPECT_EQ(in.dataAvail(), 0u);
    EXPECT_EQ(in.readInt32(&v), -ENODATA);
}

TEST(ParcelRead, HostileBytesFailWithoutMovingOrReadingOutside) {
    struct Case {
        const char* name;
        Bytes bytes;
    };
    const Case strings[] = {
        {"short length field", {1, 0}},
        {"length beyond the data", {5, 0, 0, 0, 'a', 0, 0, 0}},
        {"huge length", {0xff, 0xff, 0xff, 0x7f, 'a', 0, 0, 0}},
        {"negative length other than -1", {0xfe, 0xff, 0xff, 0xff, 0, 0, 0, 0}},
        {"missing terminator", {1, 0, 0, 0, 'a', 0, 'b', 0}},
        {"terminator cut off", {2, 0, 0, 0, 'a', 0, 'b', 0}},
        {"padding cut off", {2, 0, 0, 0, 'a', 0, 'b', 0, 0, 0}},
    };
    for (const Case& c : strings) {
        Parcel p = parcelOf(c.bytes);
        String16 out("kept");
        EXPECT_EQ(p.readString16(&out), -EBADMSG) << c.name;
        EXPECT_EQ(out, String16("kept")) << c.name;
        EXPECT_EQ(p.dataPosition(), 0u) << c.name;
        EXPECT_EQ(p.readString16().size(), 0u) << c.name;
    }
    Parcel partial = parcelOf({1, 2, 3});
    int32_t v = 99;
    EXPECT_EQ(partial.readInt32(&v), -EBADMSG);
    EXPECT_EQ(v, 99);
    sp<IBinder> object;
    EXPECT_EQ(parcelOf({1, 0, 0, 0, 5, 0, 0, 0}).readStrongBinder(&object), -EBADMSG);
    EXPECT_EQ(parcelOf({0, 0, 0, 0}).readStrongBinder(&object), -EBADMSG);
    Parcel empty;
    String16 none;
    EXPECT_EQ(empty.readString16(&none), -ENODATA);
}

TEST(ParcelData, SetDataRefusesOversizeAndPositionIsClamped) {
    Bytes big(kMaxParcelSize + 1, 0);
    Parcel p;
    EXPECT_EQ(p.setData(big.data(), big.size()), -EMSGSIZE);
    EXPECT_EQ(p.dataSize(), 0u);
    Parcel q = parcelOf({1, 0, 0, 0});
    q.setDataPosition(100);
    EXPECT_EQ(q.dataPosition(), 4u);
    EXPECT_EQ(q.dataAvail(), 0u);
}

TEST(ParcelPrint, EmptyParcelIsOneLine) {
    EXPECT_EQ(dumpOf(Parcel()), "Parcel(0 bytes)");
}

TEST(ParcelPrint, MatchesTheDocumentedExample) {
    Parcel p;
    p.writeInt32(1);
    p.writeInt32(100);
    p.writeInt32(7);
    p.writeString16(String16("hi"));
    EXPECT_EQ(dumpOf(p),
              "Parcel(24 bytes)\n"
              "  00000000: 00000001 00000064 00000007 00000002  ....d...........\n"
              "  00000010: 00690068 00000000                    h.i.....");
}

TEST(ParcelPrint, FullLinesOffsetsAndPartialWords) {
    Bytes bytes;
    for (int i = 0; i < 35; ++i) bytes.push_back(static_cast<uint8_t>(0x1e + i * 3));
    Parcel p = parcelOf(bytes);
    // 35 bytes: two full lines, then three bytes that make no whole word.
    EXPECT_EQ(dumpOf(p),
              "Parcel(35 bytes)\n"
              "  00000000: 2724211e 33302d2a 3f3c3936 4b484542  .!$'*-0369<?BEHK\n"
              "  00000010: 5754514e 63605d5a 6f6c6966 7b787572  NQTWZ]`cfilorux{\n"
              "  00000020:                                      ~..");
}

}  // namespace
}  // namespace zorlek
