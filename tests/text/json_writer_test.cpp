// SPDX-License-Identifier: Apache-2.0
// The JSON writer: separators wherever objects, arrays, keys and values meet, what it
// writes to a stream and what it only counts, and the limit it never passes.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

#include "platform/text/json_writer.h"
#include "platform/text/string8.h"

namespace zorlek {
namespace {

// What `write` writes through a writer of `limit` bytes, as a stream collects it; and that
// a counting writer counts as much.
std::string written(const std::function<void(JsonWriter&)>& write, size_t limit = SIZE_MAX,
                    bool* exceeded = nullptr) {
    String8 sink;
    TextOutput out(-1, nullptr, TextOutput::Flushing::kWhenFull);
    out.captureInto(&sink);
    JsonWriter writer(&out, limit), counter(nullptr, limit);
    write(writer);
    write(counter);
    out.flush();
    EXPECT_EQ(writer.written(), sink.size());
    EXPECT_EQ(counter.written(), sink.size());
    EXPECT_EQ(counter.exceeded(), writer.exceeded());
    if (exceeded != nullptr) *exceeded = writer.exceeded();
    return std::string(sink.data(), sink.size());
}

TEST(JsonWriter, SeparatorsWhereverItemsMeet) {
    const uint8_t bytes[] = {0x00, 0xAB, 0xFF};
    struct Row {
        std::function<void(JsonWriter&)> write;
        std::string json;
    } rows[] = {
        {[](JsonWriter& j) { j.beginObject().endObject(); }, "{}"},
        {[](JsonWriter& j) { j.beginArray().endArray(); }, "[]"},
        {[](JsonWriter& j) { j.number(INT64_MIN); }, "-9223372036854775808"},
        {[](JsonWriter& j) { j.beginArray().number(1).boolean(false).null().endArray(); },
         "[1, false, null]"},
        {[](JsonWriter& j) { j.beginObject().key("a").number(1).key("b").null().endObject(); },
         "{\"a\": 1, \"b\": null}"},
        {[](JsonWriter& j) {
             j.beginArray().beginArray().endArray().beginObject().endObject().beginArray();
             j.number(2).endArray().endArray();
         },
         "[[], {}, [2]]"},
        {[](JsonWriter& j) {
             j.beginObject().key("o").beginObject().key("p").beginArray().endArray();
             j.endObject().key("q").boolean(true).endObject();
         },
         "{\"o\": {\"p\": []}, \"q\": true}"},
        {[&](JsonWriter& j) { j.beginArray().hexString(bytes, 3).hexString(bytes, 0).endArray(); },
         "[\"00abff\", \"\"]"},
        // Keys and strings are escaped as quoteJson escapes them.
        {[](JsonWriter& j) {
             j.beginObject().key("a\"\n").string(String16(u"\x1B\x202E")).endObject();
         },
         "{\"a\\\"\\n\": \"\\u001b\\u202e\"}"},
        {[](JsonWriter& j) { j.string(std::string_view("caf\xC3\xA9 \\")); },
         "\"caf\xC3\xA9 \\\\\""},
    };
    for (const Row& row : rows) EXPECT_EQ(written(row.write), row.json);
}

TEST(JsonWriter, NothingPassesTheLimit) {
    auto three = [](JsonWriter& j) {
        j.beginArray().number(100).number(200).number(300).endArray();
    };
    EXPECT_EQ(written(three), "[100, 200, 300]");
    struct Row {
        size_t limit;
        std::string json;
        bool exceeded;
    } rows[] = {
        {15, "[100, 200, 300]", false},
        {14, "[100, 200, 300", true},
        {13, "[100, 200, ", true},
        {4, "[100", true},
        {3, "[", true},
        {0, "", true},
    };
    for (const Row& row : rows) {
        bool exceeded = false;
        EXPECT_EQ(written(three, row.limit, &exceeded), row.json) << row.limit;
        EXPECT_EQ(exceeded, row.exceeded) << row.limit;
    }
    // A long string stops the writer at its start, and nothing after it is written.
    const uint8_t bytes[4] = {1, 2, 3, 4};
    bool exceeded = false;
    auto hex = [&](JsonWriter& j) { j.beginArray().hexString(bytes, 4).number(1).endArray(); };
    EXPECT_EQ(written(hex, 6, &exceeded), "[\"0102");
    EXPECT_TRUE(exceeded);
    EXPECT_EQ(written([](JsonWriter& j) { j.string(std::string(100, 'x')).null(); }, 50, &exceeded),
              "\"");
    EXPECT_TRUE(exceeded);
    EXPECT_EQ(written([](JsonWriter& j) { j.string(String16(std::u16string(100, u'\xE9'))); }, 50,
                      &exceeded),
              "");
    EXPECT_TRUE(exceeded);
}

}  // namespace
}  // namespace zorlek
