// SPDX-License-Identifier: Apache-2.0
// The blocks of the pcapng files `capture` writes, for a packet analyser to read. The file
// is one section in little-endian order: a section header block naming the application,
// one interface description block of link type kCaptureLinkType, then one enhanced packet
// block per call record. A packet is the record's payload exactly as the host sent it
// (platform/base/call_record.h), then what the tool adds: the service's name and the
// method's name (empty when unknown), each as the record's snaps are written (an int32
// length, the UTF-8 bytes, zero padding to 4), and last an int32 that counts the bytes of
// those two. A reader finds the names from the end, so that the fields a newer host may add
// after the reply snap never move them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/base/parcel.h"

namespace zorlek {

// LINKTYPE_USER0, the first of the link types kept for private use (147 to 162): no
// registered type fits, and the dissector the package ships claims this one.
constexpr uint32_t kCaptureLinkType = 147;

// Appends the section header block (with shb_userappl `application`) and the interface
// description block (if_tsresol: microseconds) that begin a capture to `out`. The parcel's
// status tells a failure.
void appendCaptureHeader(Parcel* out, std::string_view application);

// Appends one enhanced packet block for the record `payload` of `size` bytes (a multiple
// of 4, as every payload is) taken at `timeUs` microseconds since the epoch, with the
// names `service` and `method`. The parcel's status tells a failure.
void appendCapturedRecord(Parcel* out, uint64_t timeUs, const uint8_t* payload, size_t size,
                          std::string_view service, std::string_view method);

}  // namespace zorlek
