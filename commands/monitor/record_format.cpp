// SPDX-License-Identifier: Apache-2.0
#include "commands/monitor/record_format.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/base/ibinder.h"
#include "platform/text/json_writer.h"

namespace zorlek {
namespace {

constexpr uint64_t kMicrosPerSecond = 1000000;
// 9999-12-31T23:59:59.999999Z, the last time four digits of year can show.
constexpr uint64_t kLastMicros = 253402300799999999;

void put(TextOutput& out, std::string_view text) {
    out.write(text.data(), text.size());
}

bool oneway(const CallRecord& record) {
    return (record.flags & FLAG_ONEWAY) != 0;
}

}  // namespace

ShortText statusText(int32_t status) {
    ShortText out;
    const char* name = status < 0 && status != INT32_MIN ? strerrorname_np(-status) : nullptr;
    if (status == 0) {
        std::snprintf(out.text, sizeof out.text, "ok");
    } else if (name != nullptr) {
        std::snprintf(out.text, sizeof out.text, "%s (%d)", name, status);
    } else {
        std::snprintf(out.text, sizeof out.text, "%d", status);
    }
    return out;
}

ShortText localTimeOfDay(uint64_t us) {
    ShortText out;
    time_t seconds = static_cast<time_t>(us / kMicrosPerSecond);
    tm local{};
    if (localtime_r(&seconds, &local) == nullptr) local = tm{};
    std::snprintf(out.text, sizeof out.text, "%02d:%02d:%02d.%06u", local.tm_hour, local.tm_min,
                  local.tm_sec, static_cast<unsigned>(us % kMicrosPerSecond));
    return out;
}

ShortText utcTimeMicros(uint64_t us) {
    using namespace std::chrono;
    if (us > kLastMicros) us = kLastMicros;
    sys_time<microseconds> at{microseconds{static_cast<int64_t>(us)}};
    sys_days day = floor<days>(at);
    year_month_day date{day};
    hh_mm_ss<microseconds> time{at - day};
    ShortText out;
    std::snprintf(out.text, sizeof out.text, "%04d-%02u-%02uT%02d:%02d:%02d.%06uZ",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                  static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()),
                  static_cast<unsigned>(time.subseconds().count()));
    return out;
}

void writeRecordText(TextOutput& out, const CallRecord& record, const RecordContext& context) {
    put(out, localTimeOfDay(record.timeUs).view());
    out << " pid " << record.pid << " uid " << record.uid
        << (record.direction == CALL_BACK ? " <- " : " -> ");
    put(out, context.shownService);
    out << " ";
    if (!context.method.empty()) {
        put(out, context.method);
        out << " (" << record.code << ") ";
    } else {
        out << record.code << " ";
    }
    put(out, statusText(record.status).view());
    out << " " << record.requestSize << " B";
    if (oneway(record)) {
        out << " oneway";
    } else {
        out << " -> " << record.replySize << " B";
    }
    out << " " << record.durationUs << " us";
}

void writeRecordJson(TextOutput& out, const CallRecord& record, const RecordContext& context,
                     const RecordStyle& style) {
    JsonWriter json(&out);
    json.beginObject();
    json.key("time").string(utcTimeMicros(record.timeUs).view());
    json.key("pid").number(record.pid);
    json.key("uid").number(record.uid);
    json.key("gid").number(record.gid);
    json.key("service");
    if (context.service != nullptr) {
        json.string(*context.service);
    } else {
        json.null();
    }
    json.key("code").number(record.code);
    if (!context.method.empty()) json.key("method").string(context.method);
    json.key("oneway").boolean(oneway(record));
    json.key("call_back").boolean(record.direction == CALL_BACK);
    json.key("status").number(record.status);
    json.key("request_size").number(record.requestSize);
    json.key("reply_size").number(record.replySize);
    json.key("duration_us").number(record.durationUs);
    if (style.payload) {
        uint32_t request =
            record.requestSnapSize < style.snaplen ? record.requestSnapSize : style.snaplen;
        uint32_t reply =
            record.replySnapSize < style.snaplen ? record.replySnapSize : style.snaplen;
        json.key("request").hexString(record.requestSnap, request);
        json.key("reply").hexString(record.replySnap, reply);
    }
    json.endObject();
}

}  // namespace zorlek
