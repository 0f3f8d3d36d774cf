// SPDX-License-Identifier: Apache-2.0
// Random bytes read as parcels: whatever arrives, every read stays inside the buffer
// (the sanitizer build checks that), a failed read leaves the position where it was, and
// a successful one moves it forward by a whole number of 4-byte words.

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "platform/ipc.h"
#include "platform/text.h"

namespace zorlek {
namespace {

// Bytes that look like parcels often enough to reach past the length checks: small
// lengths, -1, terminators and padding are likelier than in uniform noise.
std::vector<uint8_t> plausibleBytes(std::mt19937& random) {
    std::vector<uint8_t> bytes;
    size_t words = random() % 24;
    for (size_t i = 0; i < words; ++i) {
        uint32_t word;
        switch (random() % 5) {
            case 0:
                word = random() % 8;
                break;
            case 1:
                word = 0xFFFFFFFFu;
                break;
            case 2:
                word = 0;
                break;
            case 3:
                word = 0x00610062;
                break;
            default:
                word = static_cast<uint32_t>(random());
                break;
        }
        for (int b = 0; b < 4; ++b) bytes.push_back(static_cast<uint8_t>(word >> (8 * b)));
    }
    // Sometimes a ragged end, as a truncated message would have.
    for (size_t extra = random() % 4; extra > 0; --extra)
        bytes.push_back(static_cast<uint8_t>(random()));
    return bytes;
}

TEST(ParcelRandom, ReadsOfAnyBytesStayInsideAndNeverMoveOnFailure) {
    std::mt19937 random(20261208);
    int succeeded = 0;
    int failed = 0;
    for (int round = 0; round < 20000; ++round) {
        std::vector<uint8_t> bytes = plausibleBytes(random);
        Parcel parcel;
        ASSERT_EQ(parcel.setData(bytes.data(), bytes.size()), OK);
        for (int step = 0; step < 12; ++step) {
            size_t before = parcel.dataPosition();
            status_t status;
            switch (random() % 4) {
                case 0: {
                    int32_t value;
                    status = parcel.readInt32(&value);
                    break;
                }
                case 1: {
                    String16 text;
                    status = parcel.readString16(&text);
                    break;
                }
                case 2: {
                    sp<IBinder> object;
                    status = parcel.readStrongBinder(&object);
                    break;
                }
                default:
                    status = parcel.enforceInterface(String16("ba")) ? OK : -EBADMSG;
                    break;
            }
            size_t after = parcel.dataPosition();
            ASSERT_LE(after, parcel.dataSize());
            if (status == OK) {
                ++succeeded;
                ASSERT_GT(after, before);
                ASSERT_EQ((after - before) % 4, 0u);
            } else {
                ++failed;
                ASSERT_EQ(after, before);
            }
        }
        // The dump of any bytes is well-formed too: one line, then one per 16 bytes.
        String8 dump;
        TextOutput out(-1, nullptr, TextOutput::Flushing::kWhenFull);
        out.captureInto(&dump);
        parcel.print(out, 0);
        out.flush();
        size_t lines = 1;
        for (size_t i = 0; i < dump.size(); ++i) lines += dump.data()[i] == '\n';
        ASSERT_EQ(lines, 1 + (bytes.size() + 15) / 16);
    }
    // Both outcomes must really have been exercised for the property to mean anything.
    EXPECT_GT(succeeded, 10000);
    EXPECT_GT(failed, 10000);
}

}  // namespace
}  // namespace zorlek
