// SPDX-License-Identifier: Apache-2.0
// How `monitor` shows one call record: a line of text, or one JSON object a line.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/base/call_record.h"
#include "platform/text/string16.h"
#include "platform/text/string8.h"
#include "platform/text/text_output.h"

namespace zorlek {

// What a record is shown with besides itself: the service whose tap brought it, as named
// and as shown on a terminal (narrowForDisplay, made once), and the name of the method its
// code stands for (empty when the service does not describe itself, or for a call back).
// None is owned.
struct RecordContext {
    const String16* service = nullptr;
    std::string_view shownService;
    std::string_view method;
};

// The options of the output, as monitor's command line gave them.
struct RecordStyle {
    bool json = false;
    // --payload: the JSON carries the snaps in hex, cut at `snaplen` bytes.
    bool payload = false;
    uint32_t snaplen = 0;
};

// One line, without its newline:
//   17:02:11.483920 pid 4242 uid 1000 -> sample.adder add (1) ok 8 B -> 4 B 12 us
// the local time, the caller, "->" (a call to the service) or "<-" (a call back the
// service made to the caller's object), the service escaped as list escapes names, the
// method and its code in parentheses (the code alone without a method), the status
// (statusText), the sizes ("8 B oneway" for a one-way call, which has no reply) and how
// long it took.
void writeRecordText(TextOutput& out, const CallRecord& record, const RecordContext& context);

// One JSON object, without its newline: time (RFC 3339, UTC, microseconds), pid, uid, gid,
// service, code, method (left out when unknown), oneway, call_back, status, request_size,
// reply_size, duration_us, and with style.payload request and reply (hex).
void writeRecordJson(TextOutput& out, const CallRecord& record, const RecordContext& context,
                     const RecordStyle& style);

// A short text made without allocating, NUL-terminated.
struct ShortText {
    char text[48];
    std::string_view view() const { return text; }
};

// "ok" for 0; the errno's name and the status for a known negative one ("EBADRQC (-56)");
// the number alone for any other.
ShortText statusText(int32_t status);

// `us` since the epoch as the local time of day, "17:02:11.483920".
ShortText localTimeOfDay(uint64_t us);
// `us` since the epoch as an RFC 3339 UTC time, "2026-12-09T17:02:11.483920Z" (up to the
// year 9999: a later time is shown as the last microsecond of it).
ShortText utcTimeMicros(uint64_t us);

}  // namespace zorlek
