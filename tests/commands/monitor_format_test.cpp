// SPDX-License-Identifier: Apache-2.0
// What `monitor` shows of a call record, as text and as JSON, from record values: a
// two-way call, a failed one, a one-way call, a call back, statuses of every kind,
// payloads cut at the snap length, and times at the ends of the range.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "commands/monitor/record_format.h"
#include "platform/base/ibinder.h"

namespace zorlek::test {
namespace {

// 2026-12-09T17:02:11.483920Z.
constexpr uint64_t kTime = 1796835731483920;

const uint8_t kRequest[] = {1, 2, 3, 4, 0xfe, 0xff, 0, 9};
const uint8_t kReply[] = {0xab, 0xcd, 0xef, 0x01};

CallRecord twoWay() {
    CallRecord r;
    r.timeUs = kTime;
    r.pid = 4242;
    r.uid = 1000;
    r.gid = 100;
    r.handle = 1;
    r.code = 1;
    r.requestSize = 8;
    r.replySize = 4;
    r.durationUs = 12;
    r.requestSnap = kRequest;
    r.requestSnapSize = sizeof kRequest;
    r.replySnap = kReply;
    r.replySnapSize = sizeof kReply;
    return r;
}

CallRecord failed() {
    CallRecord r = twoWay();
    r.code = 7;
    r.status = -EBADRQC;
    r.replySize = 0;
    r.replySnapSize = 0;
    r.durationUs = 3;
    return r;
}

CallRecord oneWay() {
    CallRecord r = twoWay();
    r.flags = FLAG_ONEWAY;
    r.replySize = 0;
    r.replySnapSize = 0;
    return r;
}

CallRecord callBack() {
    CallRecord r = twoWay();
    r.direction = CALL_BACK;
    r.code = 3;
    r.durationUs = 250;
    return r;
}

class MonitorFormat : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        if (tz != nullptr) savedTz_ = tz;
        hadTz_ = tz != nullptr;
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override {
        if (hadTz_) {
            setenv("TZ", savedTz_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

    std::string text(const CallRecord& record, std::string_view method) {
        RecordContext context{&service_, "sample.adder", method};
        return written([&](TextOutput& out) { writeRecordText(out, record, context); });
    }
    std::string json(const CallRecord& record, std::string_view method, RecordStyle style = {}) {
        RecordContext context{&service_, "sample.adder", method};
        style.json = true;
        return written([&](TextOutput& out) { writeRecordJson(out, record, context, style); });
    }

  private:
    template <typename Write>
    std::string written(Write write) {
        String8 sink;
        TextOutput out(-1, nullptr, TextOutput::Flushing::kWhenFull);
        out.captureInto(&sink);
        write(out);
        out.flush();
        out.captureInto(nullptr);
        return std::string(sink.data(), sink.size());
    }

    String16 service_{"sample.adder"};
    std::string savedTz_;
    bool hadTz_ = false;
};

TEST_F(MonitorFormat, TextLines) {
    struct Row {
        CallRecord record;
        std::string_view method;
        std::string line;
    } rows[] = {
        {twoWay(), "add",
         "17:02:11.483920 pid 4242 uid 1000 -> sample.adder add (1) ok 8 B -> 4 B 12 us"},
        {twoWay(), "", "17:02:11.483920 pid 4242 uid 1000 -> sample.adder 1 ok 8 B -> 4 B 12 us"},
        {failed(), "",
         "17:02:11.483920 pid 4242 uid 1000 -> sample.adder 7 EBADRQC (-56) 8 B -> 0 B 3 us"},
        {oneWay(), "notify",
         "17:02:11.483920 pid 4242 uid 1000 -> sample.adder notify (1) ok 8 B oneway 12 us"},
        {callBack(), "",
         "17:02:11.483920 pid 4242 uid 1000 <- sample.adder 3 ok 8 B -> 4 B 250 us"},
    };
    for (const Row& row : rows) EXPECT_EQ(text(row.record, row.method), row.line);
}

TEST_F(MonitorFormat, PidZeroAndLargeNumbersAsTheyCame) {
    CallRecord r = twoWay();
    r.timeUs = 0;
    r.pid = 0;
    r.uid = 4294967295u;
    r.code = 0x5F494446;
    r.requestSize = 1048576;
    r.durationUs = 4294967295u;
    EXPECT_EQ(text(r, ""),
              "00:00:00.000000 pid 0 uid 4294967295 -> sample.adder 1598637126 ok 1048576 B -> 4 B "
              "4294967295 us");
}

TEST_F(MonitorFormat, Statuses) {
    struct Row {
        int32_t status;
        const char* text;
    } rows[] = {
        {0, "ok"},
        {-EPIPE, "EPIPE (-32)"},
        {-ETIMEDOUT, "ETIMEDOUT (-110)"},
        {-EMSGSIZE, "EMSGSIZE (-90)"},
        {-4000, "-4000"},  // no errno of that number
        {5, "5"},          // a service's own positive status
        {INT32_MIN, "-2147483648"},
    };
    for (const Row& row : rows) EXPECT_EQ(statusText(row.status).view(), row.text) << row.status;
}

TEST_F(MonitorFormat, Times) {
    EXPECT_EQ(utcTimeMicros(kTime).view(), "2026-12-09T17:02:11.483920Z");
    EXPECT_EQ(utcTimeMicros(0).view(), "1970-01-01T00:00:00.000000Z");
    EXPECT_EQ(utcTimeMicros(999999).view(), "1970-01-01T00:00:00.999999Z");
    // A host's clock far ahead shows the last time four digits of year hold.
    EXPECT_EQ(utcTimeMicros(UINT64_MAX).view(), "9999-12-31T23:59:59.999999Z");
    EXPECT_EQ(localTimeOfDay(kTime + 86400000000ull).view(), "17:02:11.483920");
}

const char kHead[] = R"({"time": "2026-12-09T17:02:11.483920Z", "pid": 4242, "uid": 1000, )"
                     R"("gid": 100, "service": "sample.adder", )";

TEST_F(MonitorFormat, JsonObjects) {
    struct Row {
        CallRecord record;
        std::string_view method;
        std::string tail;
    } rows[] = {
        {twoWay(), "add",
         R"("code": 1, "method": "add", "oneway": false, "call_back": false, "status": 0, )"
         R"("request_size": 8, "reply_size": 4, "duration_us": 12})"},
        // No method known: the key is left out.
        {failed(), "",
         R"("code": 7, "oneway": false, "call_back": false, "status": -56, )"
         R"("request_size": 8, "reply_size": 0, "duration_us": 3})"},
        {oneWay(), "notify",
         R"("code": 1, "method": "notify", "oneway": true, "call_back": false, "status": 0, )"
         R"("request_size": 8, "reply_size": 0, "duration_us": 12})"},
        {callBack(), "",
         R"("code": 3, "oneway": false, "call_back": true, "status": 0, )"
         R"("request_size": 8, "reply_size": 4, "duration_us": 250})"},
    };
    for (const Row& row : rows) EXPECT_EQ(json(row.record, row.method), kHead + row.tail);
}

TEST_F(MonitorFormat, PayloadsInHexCutAtTheSnapLength) {
    const std::string sizes =
        R"("code": 1, "method": "add", "oneway": false, "call_back": false, "status": 0, )"
        R"("request_size": 8, "reply_size": 4, "duration_us": 12, )";
    struct Row {
        uint32_t snaplen;
        std::string payload;
    } rows[] = {
        {256, R"("request": "01020304feff0009", "reply": "abcdef01"})"},
        {8, R"("request": "01020304feff0009", "reply": "abcdef01"})"},
        {5, R"("request": "01020304fe", "reply": "abcdef01"})"},
        {1, R"("request": "01", "reply": "ab"})"},
        {0, R"("request": "", "reply": ""})"},
    };
    for (const Row& row : rows) {
        RecordStyle style;
        style.payload = true;
        style.snaplen = row.snaplen;
        EXPECT_EQ(json(twoWay(), "add", style), kHead + sizes + row.payload) << row.snaplen;
    }
    // A failed call carries no reply.
    RecordStyle style;
    style.payload = true;
    style.snaplen = 256;
    std::string got = json(failed(), "", style);
    EXPECT_NE(got.find(R"("request": "01020304feff0009", "reply": ""})"), std::string::npos) << got;
}

TEST_F(MonitorFormat, ServiceTextIsEscapedInJson) {
    String16 odd(u"a\"b\\c\u202e");
    RecordContext context{&odd, "", ""};
    String8 sink;
    TextOutput out(-1, nullptr, TextOutput::Flushing::kWhenFull);
    out.captureInto(&sink);
    writeRecordJson(out, twoWay(), context, RecordStyle{});
    out.flush();
    out.captureInto(nullptr);
    std::string got(sink.data(), sink.size());
    EXPECT_NE(got.find(R"("service": "a\"b\\c\u202e")"), std::string::npos) << got;
}

}  // namespace
}  // namespace zorlek::test
