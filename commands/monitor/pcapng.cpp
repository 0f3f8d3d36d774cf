// SPDX-License-Identifier: Apache-2.0
#include "commands/monitor/pcapng.h"

namespace zorlek {
namespace {

constexpr uint32_t kSectionHeaderBlock = 0x0A0D0D0A;
constexpr uint32_t kInterfaceDescriptionBlock = 1;
constexpr uint32_t kEnhancedPacketBlock = 6;
constexpr uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr uint16_t kEndOfOptions = 0;
constexpr uint16_t kShbUserApplication = 4;
constexpr uint16_t kIfTimestampResolution = 9;
// if_tsresol's value: 10^-6 seconds.
constexpr uint8_t kMicroseconds = 6;

size_t padded(size_t size) {
    return (size + 3) & ~size_t{3};
}

void put32(Parcel* out, uint32_t value) {
    out->writeInt32(static_cast<int32_t>(value));
}

// An option's code and length, then its value zero-padded to 4.
void putOption(Parcel* out, uint16_t code, const void* value, size_t size) {
    put32(out, code | static_cast<uint32_t>(size) << 16);
    if (size > 0) out->write(value, size);
}

// A byte string as the record's snaps are written: its length, its bytes, padding.
void putBytes(Parcel* out, std::string_view bytes) {
    put32(out, static_cast<uint32_t>(bytes.size()));
    if (!bytes.empty()) out->write(bytes.data(), bytes.size());
}

}  // namespace

void appendCaptureHeader(Parcel* out, std::string_view application) {
    // Type, length, magic, version, section length (unknown: -1), options, length.
    uint32_t length = static_cast<uint32_t>(24 + 4 + padded(application.size()) + 4 + 4);
    put32(out, kSectionHeaderBlock);
    put32(out, length);
    put32(out, kByteOrderMagic);
    put32(out, 1);  // major version 1, minor 0
    put32(out, 0xFFFFFFFF);
    put32(out, 0xFFFFFFFF);
    putOption(out, kShbUserApplication, application.data(), application.size());
    putOption(out, kEndOfOptions, nullptr, 0);
    put32(out, length);

    // Type, length, link type and a reserved half, snap length (0: none), options, length.
    constexpr uint32_t kInterfaceLength = 16 + 8 + 4 + 4;
    put32(out, kInterfaceDescriptionBlock);
    put32(out, kInterfaceLength);
    put32(out, kCaptureLinkType);
    put32(out, 0);
    putOption(out, kIfTimestampResolution, &kMicroseconds, 1);
    putOption(out, kEndOfOptions, nullptr, 0);
    put32(out, kInterfaceLength);
}

void appendCapturedRecord(Parcel* out, uint64_t timeUs, const uint8_t* payload, size_t size,
                          std::string_view service, std::string_view method) {
    size_t names = 4 + padded(service.size()) + 4 + padded(method.size());
    size_t packet = padded(size) + names + 4;
    uint32_t length = static_cast<uint32_t>(32 + packet);
    put32(out, kEnhancedPacketBlock);
    put32(out, length);
    put32(out, 0);  // the one interface
    put32(out, static_cast<uint32_t>(timeUs >> 32));
    put32(out, static_cast<uint32_t>(timeUs));
    put32(out, static_cast<uint32_t>(packet));
    put32(out, static_cast<uint32_t>(packet));
    if (size > 0) out->write(payload, size);
    putBytes(out, service);
    putBytes(out, method);
    put32(out, static_cast<uint32_t>(names));
    put32(out, length);
}

}  // namespace zorlek
