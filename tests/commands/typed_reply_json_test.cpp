// SPDX-License-Identifier: Apache-2.0
// Replies for a person: reply bytes into JSON written as it is read (or where they are
// malformed, or that the JSON would pass its bound), and UTF-16 text as JSON strings that
// are valid and safe to print.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "commands/limits.h"
#include "commands/typed/json_reader.h"
#include "platform/hosting.h"
#include "tests/commands/typed_values.h"

namespace zorlek::typed::test {
namespace {

std::string hexOf(const Bytes& bytes) {
    std::string out;
    char two[4];
    for (uint8_t byte : bytes) {
        std::snprintf(two, sizeof two, "%02x ", byte);
        out += two;
    }
    return out;
}

// What writeReplyAsJson writes of `reply` through a writer of `limit` bytes, as the output
// collects it; the result and why the reply is malformed.
struct Shown {
    ReplyJson result;
    std::string json;
    std::string why;
};

Shown show(Parcel& reply, const Interface& described, const std::vector<Field>& fields,
           size_t limit = SIZE_MAX) {
    String8 sink, why;
    TextOutput out(-1, nullptr, TextOutput::Flushing::kWhenFull);
    out.captureInto(&sink);
    JsonWriter writer(&out, limit);
    ReplyJson result = writeReplyAsJson(reply, described, fields, writer, &why);
    out.flush();
    EXPECT_EQ(writer.written(), sink.size()) << "the writer counts what it wrote";
    return {result, std::string(sink.data(), sink.size()), why.c_str()};
}

// The JSON of a reply holding `items`, or "malformed: WHY".
std::string replyJson(const Bytes& items) {
    Parcel reply;
    reply.setData(items.data(), items.size());
    const Method& method = *interface().findMethod("out");
    Shown shown = show(reply, interface(), method.reply);
    if (shown.result != ReplyJson::kWritten) {
        EXPECT_EQ(shown.result, ReplyJson::kMalformed);
        return "malformed: " + shown.why;
    }
    // The JSON written back gives the bytes read, exactly.
    Parcel again;
    String8 why;
    EXPECT_TRUE(writeJsonFields(again, interface(), method.reply, shown.json, &why)) << why.c_str();
    EXPECT_EQ(zorlek::test::bytesOf(again),
              Bytes(items.begin(), items.begin() + reply.dataPosition()));
    return shown.json;
}

TEST(TypedReplies, RepliesAsJson) {
    const Bytes head = cat({i32(0x80000000), i64(INT64_MIN), i32(1), s16(u"a\"\\"), nullString(),
                            cat({i32(2), {0xAB, 0x01, 0, 0}})});
    const Bytes tail = cat({i32(0), i32(0)});
    const std::string headJson =
        "{\"a\": -2147483648, \"b\": -9223372036854775808, \"f\": true, \"s\": \"a\\\"\\\\\", "
        "\"n\": null, \"d\": \"ab01\", ";
    struct Row {
        Bytes reply;
        std::string json;
    } rows[] = {
        {cat({head, tail}), headJson + "\"q\": [], \"g\": []}"},
        // What a newer service appends is left unread.
        {cat({head, tail, i32(7), s16(u"more")}), headJson + "\"q\": [], \"g\": []}"},
        {cat({head, i32(2), i32(5), s16(u""), i32(0), i32(0), nullString(), i32(1), i32(6),
              nullString(), i32(2), i32(1), i32(7), i32(0)}),
         headJson + "\"q\": [{\"p\": {\"x\": 5, \"y\": \"\"}, \"ps\": []}, {\"p\": {\"x\": 0, "
                    "\"y\": null}, "
                    "\"ps\": [{\"x\": 6, \"y\": null}]}], \"g\": [[7], []]}"},
        {{}, "malformed: at a (i32)"},
        {cat({i32(1), i32(2)}), "malformed: at b (i64)"},
        {cat({i32(1), i64(2), i32(2)}), "malformed: at f (bool)"},
        {cat({i32(1), i64(2), i32(0), nullString()}), "malformed: at s (s16)"},
        {cat({i32(1), i64(2), i32(0), i32(9), i32(0x41)}), "malformed: at s (s16)"},
        // Padding that is not zero, in a string and in bytes.
        {cat({i32(1), i64(2), i32(0), i32(0), {0, 0, 1, 0}}), "malformed: at s (s16)"},
        {cat({i32(1), i64(2), i32(0), s16(u""), s16(u"x"), cat({i32(1), {1, 0, 1, 0}})}),
         "malformed: at d (bytes)"},
        {cat({i32(1), i64(2), i32(0), s16(u""), s16(u"x"), i32(5), i32(0)}),
         "malformed: at d (bytes)"},
        {cat({i32(1), i64(2), i32(0), s16(u""), s16(u"x"), i32(0xFFFFFFFF)}),
         "malformed: at d (bytes)"},
        // A count that the bytes left cannot hold, and one that is negative.
        {cat({head, i32(3), i32(0)}), "malformed: at q (Q[])"},
        {cat({head, i32(0x80000000)}), "malformed: at q (Q[])"},
        {cat({head, i32(1), i32(5), i32(7)}), "malformed: at q[0].p.y (s16?)"},
        {cat({head, i32(0), i32(1), i32(1)}), "malformed: at g[0] (i32[])"},
    };
    for (const Row& row : rows) EXPECT_EQ(replyJson(row.reply), row.json) << hexOf(row.reply);
}

TEST(TypedReplies, ReferencesAsNullOrTheirInterface) {
    const Method& method = *interface().findMethod("objects");
    auto json = [&](const Bytes& items) {
        Parcel reply;
        reply.setData(items.data(), items.size());
        Shown shown = show(reply, interface(), method.reply);
        return shown.result == ReplyJson::kWritten ? shown.json : "malformed: " + shown.why;
    };
    EXPECT_EQ(json(cat({nullObject(), nullObject()})), "{\"back\": null, \"other\": null}");
    EXPECT_EQ(json(cat({nullObject(), i32(0)})), "malformed: at other (x.IOther)");
    EXPECT_EQ(json(cat({i32(0x7A7A7A7A), i32(1), nullObject()})),
              "malformed: at back (t.IListener)");
    EXPECT_EQ(json({}), "malformed: at back (t.IListener)");
    // An object the parcel carries prints as the interface the field declares.
    Parcel reply;
    if (reply.writeStrongBinder(zorlek::make<LocalObject>(String16(u"t.IListener"))) == OK) {
        reply.writeStrongBinder(zorlek::make<LocalObject>(String16(u"x.IOther")));
        reply.setDataPosition(0);
        Shown shown = show(reply, interface(), method.reply);
        EXPECT_EQ(shown.json,
                  "{\"back\": {\"interface\": \"t.IListener\"}, \"other\": {\"interface\": "
                  "\"x.IOther\"}}");
    }
    // As JSON to write back, a reference is only null.
    Parcel parcel;
    String8 why;
    EXPECT_TRUE(writeJsonFields(parcel, interface(), method.reply,
                                "{\"other\": null, \"back\": null}", &why));
    EXPECT_EQ(zorlek::test::bytesOf(parcel), cat({nullObject(), nullObject()}));
    EXPECT_FALSE(writeJsonFields(parcel, interface(), method.reply,
                                 "{\"back\": {\"interface\": \"t.IListener\"}, \"other\": null}",
                                 &why));
    EXPECT_STREQ(why.c_str(), "at back: expected null (objects are not written from JSON)");
}

// The JSON of a call of `code` to a t.IListener whose request is `request` (token and
// arguments), through a writer of `limit` bytes; or its failure.
std::string callJson(uint32_t code, const Bytes& request, size_t limit = SIZE_MAX) {
    Parcel parcel;
    parcel.setData(request.data(), request.size());
    String8 sink;
    TextOutput out(-1, nullptr, TextOutput::Flushing::kWhenFull);
    out.captureInto(&sink);
    JsonWriter writer(&out, limit);
    status_t status = writeCallAsJson(parcel, listener(), code, writer);
    out.flush();
    if (status != OK) return std::string("failed: ") + std::strerror(-status);
    EXPECT_EQ(parcel.dataAvail(), 0u);
    return std::string(sink.data(), sink.size());
}

TEST(TypedCalls, ACallToAnObjectAsOneJsonObject) {
    const Bytes token = s16(u"t.IListener");
    const Bytes heard = cat({i32(2), i32(7), i32(0x80000000), s16(u"\x1B\""), nullObject()});
    const std::string bad = "failed: Bad message";
    struct Row {
        const char* what;
        uint32_t code;
        Bytes request;
        std::string json;
    } rows[] = {
        {"a call", 1, cat({token, heard}),
         "{\"method\": \"heard\", \"args\": {\"r\": {\"a\": [7, -2147483648]}, \"s\": "
         "\"\\u001b\\\"\", \"v\": null}}"},
        {"a one-way call", 2, cat({token, i64(-5)}),
         "{\"method\": \"tick\", \"args\": {\"n\": -5}}"},
        {"no arguments", 3, token, "{\"method\": \"nothing\", \"args\": {}}"},
        {"a null s16?", 1, cat({token, i32(0), nullString(), nullObject()}),
         "{\"method\": \"heard\", \"args\": {\"r\": {\"a\": []}, \"s\": null, \"v\": null}}"},
        {"a code of no method", 4, cat({token, i64(1)}), "failed: Invalid request code"},
        {"code 0", 0, token, "failed: Invalid request code"},
        {"no token", 2, i64(1), bad},
        {"nothing at all", 3, {}, bad},
        {"another interface's token", 2, cat({s16(u"t.IValues"), i64(1)}), bad},
        {"cut short", 2, cat({token, i32(1)}), bad},
        {"a reference cut short", 1, cat({token, i32(0), nullString(), i32(0)}), bad},
        {"a reference no parcel holds", 1,
         cat({token, i32(0), nullString(), i32(0x7A7A7A7A), i32(3)}), bad},
        {"bytes after the arguments", 2, cat({token, i64(1), i32(0)}), bad},
        {"a count past the end", 1, cat({token, i32(0x7FFFFFFF), i32(1)}), bad},
        {"a negative count", 1, cat({token, i32(0xFFFFFFFF), nullString(), nullObject()}), bad},
        {"a string past the end", 1, cat({token, i32(0), i32(1000), nullObject()}), bad},
    };
    for (const Row& row : rows) EXPECT_EQ(callJson(row.code, row.request), row.json) << row.what;
    // Past the writer's limit, the call is refused as too large.
    EXPECT_EQ(callJson(1, cat({token, heard}), 20), "failed: Message too long");
    EXPECT_EQ(callJson(3, token, 33), "{\"method\": \"nothing\", \"args\": {}}");
    EXPECT_EQ(callJson(3, token, 32), "failed: Message too long");
}

TEST(TypedReplies, JsonObjectsOfFields) {
    const Method& method = *interface().findMethod("ints");
    struct Row {
        std::string json;
        Written expected;
    } rows[] = {
        {"{\"b\": 2, \"a\": 1}", bytes(cat({i32(1), i64(2)}))},
        {"{\"a\": 1}", error("at b: missing")},
        {"{\"a\": 1, \"b\": 2, \"c\": 3}", error("at c: no such field")},
        {"{\"a\": \"1\", \"b\": 2}", error("at a: expected an integer")},
        {"[1, 2]", error("expected a JSON object")},
        {"{", error("expected a key in quotes")},
    };
    for (const Row& row : rows) {
        Parcel parcel;
        String8 why;
        Written got;
        if (writeJsonFields(parcel, interface(), method.arguments, row.json, &why)) {
            got.bytes = zorlek::test::bytesOf(parcel);
        } else {
            got.error = why.c_str();
        }
        EXPECT_EQ(got, row.expected) << row.json;
    }
}

// A description of one record whose field has a name of `letters` letters, and a reply of
// `count` such records, each of INT32_MIN.
struct LongNames {
    explicit LongNames(size_t letters, uint32_t count) {
        std::u16string text = u"interface t.ILong;\nrecord R { " + std::u16string(letters, u'n') +
                              u": i32; }\nmethod m() -> (r: R[]) = 1;\n";
        idl::ParseError error;
        described = idl::parseDescription(text, &error)->interfaces[0];
        descriptionBytes = text.size() * sizeof(char16_t);
        Bytes items = i32(count);
        for (uint32_t i = 0; i < count; ++i) items = cat({items, i32(0x80000000)});
        reply.setData(items.data(), items.size());
    }
    // What invoke lets the JSON of this reply take.
    size_t bound() const { return kInvokeJsonPerInputByte * (reply.dataSize() + descriptionBytes); }

    Interface described;
    size_t descriptionBytes = 0;
    Parcel reply;
};

TEST(TypedReplies, WhatIsWrittenIsBoundedByTheReplyAndTheDescription) {
    // The names are written again for every record: 8,004 bytes of reply would take 800 MB.
    LongNames hostile(400000, 2000);
    String8 why;
    JsonWriter counter(nullptr, hostile.bound());
    EXPECT_EQ(writeReplyAsJson(hostile.reply, hostile.described, hostile.described.methods[0].reply,
                               counter, &why),
              ReplyJson::kTooLarge);
    EXPECT_TRUE(counter.exceeded());
    EXPECT_LE(counter.written(), hostile.bound());
    EXPECT_GT(counter.written(), hostile.bound() - 400010) << "it stopped at the bound";
    // Names of 200 letters, each record's worth as far from its 4 bytes as an i32 goes, print
    // whole within the bound.
    LongNames honest(200, 2000);
    Shown shown =
        show(honest.reply, honest.described, honest.described.methods[0].reply, honest.bound());
    EXPECT_EQ(shown.result, ReplyJson::kWritten);
    const std::string one = "{\"" + std::string(200, 'n') + "\": -2147483648}";
    EXPECT_EQ(shown.json.size(), 9 + 2000 * one.size() + 1999 * 2);
    EXPECT_EQ(shown.json.substr(0, 7 + one.size() + 2), "{\"r\": [" + one + ", ");
}

TEST(TypedReplies, JsonStringsAreValidAndSafeToPrint) {
    struct Row {
        std::u16string text;
        std::string json;
    } rows[] = {
        {u"", "\"\""},
        {u"plain text", "\"plain text\""},
        {u"\"\\/", "\"\\\"\\\\/\""},
        {u"\b\t\n\f\r", "\"\\b\\t\\n\\f\\r\""},
        {std::u16string(u"\0\x1\x1F", 3), "\"\\u0000\\u0001\\u001f\""},
        {u"\x7F\x80\x9F\xA0", "\"\\u007f\\u0080\\u009f\xC2\xA0\""},
        {u"caf\xE9 \x20AC \xD83D\xDE00", "\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\""},
        // Unpaired surrogates, alone, at either end and in the wrong order.
        {u"\xD800", "\"\\ud800\""},
        {u"a\xDC00", "\"a\\udc00\""},
        {u"\xDC00\xD800", "\"\\udc00\\ud800\""},
        {u"\xD83D\xD83D\xDE00", "\"\\ud83d\xF0\x9F\x98\x80\""},
        // What reorders, joins or hides text, and the tags.
        {u"pay\x202E"
         u"evil",
         "\"pay\\u202eevil\""},
        {u"\xAD\x200B\xFEFF", "\"\\u00ad\\u200b\\ufeff\""},
        {u"a\xDB40\xDC01", "\"a\\udb40\\udc01\""},
    };
    for (const Row& row : rows) {
        String8 out;
        TextOutput stream(-1, nullptr, TextOutput::Flushing::kWhenFull);
        stream.captureInto(&out);
        JsonWriter(&stream).string(String16(row.text));
        stream.flush();
        EXPECT_EQ(std::string(out.data(), out.size()), row.json);
        // And it reads back as the same units.
        JsonError error;
        std::optional<JsonValue> back = parseJson(std::string_view(out.data(), out.size()), &error);
        ASSERT_TRUE(back) << row.json;
        EXPECT_EQ(back->string, row.text) << row.json;
    }
}

}  // namespace
}  // namespace zorlek::typed::test
