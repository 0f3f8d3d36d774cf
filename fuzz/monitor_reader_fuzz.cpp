// SPDX-License-Identifier: Apache-2.0
// Untrusted bytes on a tap, read as `monitor` and `capture` read them: a stream of messages
// taken in pieces by the tap's reader, each record decoded and then shown as text, as JSON
// with its payloads, and as a block of a capture. Input: a script of steps, each raw bytes,
// a framed record of hostile bytes, a well-formed record with hostile fields (one byte of it
// maybe spoiled), or a count of dropped records. Whatever arrives, nothing is read outside
// a record, snaps stay within their record and their bounds, every capture block is whole,
// and a reader that called the stream malformed is fed no more.

#include <cstdint>
#include <vector>

#include "commands/limits.h"
#include "commands/monitor/pcapng.h"
#include "commands/monitor/record_format.h"
#include "fuzz/check.h"
#include "fuzz/input.h"
#include "platform/ipc/tap_reader.h"
#include "platform/transport/wire.h"

namespace zorlek {
namespace {

using fuzz::check;

class CheckingSink : public TapSink {
  public:
    bool onRecord(size_t tap, const CallRecord& r, const uint8_t* payload, size_t size) override {
        check(tap == 0, "a record of another tap");
        check(size >= kCallRecordMinBytes && size % 4 == 0, "a record of impossible size");
        checkSnap(r.requestSnap, r.requestSnapSize, payload, size);
        checkSnap(r.replySnap, r.replySnapSize, payload, size);
        String16 service(u"fuzz.service");
        RecordContext context{&service, "fuzz.service", records_ % 2 == 0 ? "m" : ""};
        RecordStyle style{true, true, static_cast<uint32_t>(records_ * 37 % 300)};
        out_.clear();
        TextOutput text(-1, nullptr, TextOutput::Flushing::kWhenFull);
        text.captureInto(&out_);
        writeRecordText(text, r, context);
        writeRecordJson(text, r, context, style);
        text.flush();
        text.captureInto(nullptr);
        block_.clear();
        appendCapturedRecord(&block_, r.timeUs, payload, size, "fuzz.service", context.method);
        check(block_.status() == OK, "a capture block not written");
        check(block_.dataSize() == 32 + size + 4 + 12 + 4 + 4 * (records_ % 2 == 0) + 4,
              "a capture block of the wrong size");
        ++records_;
        return records_ % 64 != 0;  // now and then the reading stops, as --count does
    }
    void onDropped(size_t tap, uint32_t) override { check(tap == 0, "a drop of another tap"); }

  private:
    static void checkSnap(const uint8_t* snap, uint32_t snapSize, const uint8_t* payload,
                          size_t size) {
        check(snapSize <= static_cast<uint32_t>(kMaxSnapLength), "a snap past its bound");
        if (snapSize == 0) return;
        check(snap >= payload && snap + snapSize <= payload + size, "a snap outside its record");
    }

    uint64_t records_ = 0;
    String8 out_;
    Parcel block_;
};

void append(std::vector<uint8_t>& out, const void* bytes, size_t size) {
    const uint8_t* at = static_cast<const uint8_t*>(bytes);
    out.insert(out.end(), at, at + size);
}

void appendHeader(std::vector<uint8_t>& out, uint32_t type, uint32_t code, size_t size) {
    MessageHeader header{type, code, 0, static_cast<uint32_t>(size), 0, 0};
    uint8_t bytes[kHeaderSize];
    encodeHeader(header, bytes);
    append(out, bytes, sizeof bytes);
}

// A record whose fields and snap lengths the input chooses, encoded as a host would.
void appendRecord(std::vector<uint8_t>& out, fuzz::FuzzInput& in) {
    static uint8_t snapBytes[512];
    CallRecord r;
    r.timeUs = uint64_t{in.number(4)} << 32 | in.number(4);
    r.pid = static_cast<int32_t>(in.number(4));
    r.code = in.number(4);
    r.flags = in.number(1);
    r.status = static_cast<int32_t>(in.number(4));
    r.direction = in.number(1) % 2;
    r.requestSnapSize = in.number(2) % sizeof snapBytes;
    r.replySnapSize = in.number(2) % sizeof snapBytes;
    r.requestSize = r.requestSnapSize + in.number(2);
    r.replySize = r.replySnapSize + in.number(2);
    r.requestSnap = snapBytes;
    r.replySnap = snapBytes;
    Parcel payload;
    if (encodeCallRecord(r, &payload) != OK) return;
    size_t at = out.size();
    appendHeader(out, MSG_CALL_RECORD, 0, payload.dataSize());
    append(out, payload.data(), payload.dataSize());
    uint32_t spoil = in.number(2);
    if (spoil < out.size() - at && in.byte() % 4 == 0) out[at + spoil] = in.byte();
}

// The steps of the script, as the bytes a host would send.
std::vector<uint8_t> stream(fuzz::FuzzInput& in) {
    std::vector<uint8_t> out;
    while (!in.empty() && out.size() < 256 * 1024) {
        switch (in.byte() % 4) {
            case 0: {
                size_t size = in.number(2) % 512;
                for (size_t i = 0; i < size; ++i) out.push_back(in.byte());
                break;
            }
            case 1: {
                size_t size = in.number(2) % 1024;
                appendHeader(out, in.byte() % 2 == 0 ? MSG_CALL_RECORD : in.number(1), 0, size);
                for (size_t i = 0; i < size; ++i) out.push_back(in.byte());
                break;
            }
            case 2:
                appendRecord(out, in);
                break;
            default:
                appendHeader(out, MSG_RECORDS_DROPPED, in.number(4), 0);
                break;
        }
    }
    return out;
}

}  // namespace
}  // namespace zorlek

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zorlek;
    fuzz::FuzzInput in(data, size);
    size_t piece = 1 + in.number(2) % 4096;
    std::vector<uint8_t> bytes = stream(in);
    TapReader reader(unique_fd(), 0, kTapReadBuffer, kMaxCallRecordPayload);
    CheckingSink sink;
    for (size_t at = 0; at < bytes.size(); at += piece) {
        size_t n = bytes.size() - at < piece ? bytes.size() - at : piece;
        TapState state = reader.take(bytes.data() + at, n, sink);
        if (state == TapState::kMalformed || state == TapState::kFailed) break;
    }
    return 0;
}
