// SPDX-License-Identifier: Apache-2.0
// Typed values for a person: arguments from command-line text into exactly the bytes of
// their encoding (or one line saying what is wrong), reply bytes into JSON (or where they
// are malformed), and UTF-16 text as JSON strings that are valid and safe to print.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "idl/json.h"
#include "idl/parser.h"
#include "idl/values.h"
#include "tests/support/bytes.h"

namespace zorlek::idl {
namespace {

using test::Bytes;
using test::cat;
using test::i32;
using test::s16;

const char kInterface[] =
    "interface t.IValues;\n"
    "record P { x: i32; y: s16?; }\n"
    "record Q { p: P; ps: P[]; }\n"
    "method ints(a: i32, b: i64) = 1;\n"
    "method flag(f: bool) = 2;\n"
    "method texts(s: s16, n: s16?) = 3;\n"
    "method blob(b: bytes) = 4;\n"
    "method arrays(a: i32[], g: i64[][], t: s16?[], b: bytes[], f: bool[]) = 5;\n"
    "method records(q: Q) = 6;\n"
    "method none() = 7;\n"
    "method out() -> (a: i32, b: i64, f: bool, s: s16, n: s16?, d: bytes, q: Q[], g: i32[][]) = "
    "8;\n";

const Interface& interface() {
    static const Interface parsed = [] {
        ParseError error;
        std::u16string text(kInterface, kInterface + sizeof kInterface - 1);
        return *parseInterface(text, &error);
    }();
    return parsed;
}

Bytes i64(int64_t value) {
    return cat({i32(static_cast<uint32_t>(value)),
                i32(static_cast<uint32_t>(static_cast<uint64_t>(value) >> 32))});
}

Bytes nullString() {
    return i32(0xFFFFFFFF);
}

// The arguments' bytes after the token, or "error: WHY".
struct Written {
    Bytes bytes;
    std::string error;
    bool operator==(const Written&) const = default;
};

Written write(const std::string& method, const std::vector<std::string>& words) {
    std::vector<const char*> argv;
    for (const std::string& word : words) argv.push_back(word.c_str());
    Parcel request;
    String8 why;
    if (!writeArguments(request, interface(), *interface().findMethod(method), argv.data(),
                        argv.size(), &why)) {
        return {{}, why.c_str()};
    }
    return {test::bytesOf(request), ""};
}

Written bytes(Bytes b) {
    return {std::move(b), ""};
}

Written error(std::string why) {
    return {{}, std::move(why)};
}

void expectWritten(const std::string& method, const std::vector<std::string>& words,
                   const Written& expected) {
    std::string label = method;
    for (const std::string& word : words) label += " [" + word + "]";
    Written got = write(method, words);
    EXPECT_EQ(got.error, expected.error) << label;
    EXPECT_EQ(got.bytes, expected.bytes) << label;
}

TEST(IdlValues, IntegersAreReadStrictlyInTheirTypesRange) {
    const std::string notInt = "Invalid value for argument 'a' (i32): not an integer";
    const std::string range = "Invalid value for argument 'a' (i32): out of range";
    const std::string range64 = "Invalid value for argument 'b' (i64): out of range";
    struct Row {
        std::vector<std::string> words;
        Written expected;
    } rows[] = {
        {{"0", "0"}, bytes(cat({i32(0), i64(0)}))},
        {{"-2147483648", "-9223372036854775808"}, bytes(cat({i32(0x80000000), i64(INT64_MIN)}))},
        {{"2147483647", "9223372036854775807"}, bytes(cat({i32(0x7FFFFFFF), i64(INT64_MAX)}))},
        {{"0x7fffffff", "0X7FFFFFFFFFFFFFFF"}, bytes(cat({i32(0x7FFFFFFF), i64(INT64_MAX)}))},
        {{"-0x80000000", "-0x10"}, bytes(cat({i32(0x80000000), i64(-16)}))},
        {{"007", "-0"}, bytes(cat({i32(7), i64(0)}))},
        {{"2147483648", "0"}, error(range)},
        {{"-2147483649", "0"}, error(range)},
        {{"0x80000000", "0"}, error(range)},
        {{"4294967295", "0"}, error(range)},
        {{"99999999999999999999999", "0"}, error(range)},
        {{"0", "9223372036854775808"}, error(range64)},
        {{"0", "-9223372036854775809"}, error(range64)},
        {{"0", "0x8000000000000000"}, error(range64)},
        {{"12abc", "0"}, error(notInt)},
        {{" 1", "0"}, error(notInt)},
        {{"1 ", "0"}, error(notInt)},
        {{"+1", "0"}, error(notInt)},
        {{"", "0"}, error(notInt)},
        {{"-", "0"}, error(notInt)},
        {{"0x", "0"}, error(notInt)},
        {{"0xg", "0"}, error(notInt)},
        {{"1e3", "0"}, error(notInt)},
        {{"1.0", "0"}, error(notInt)},
    };
    for (const Row& row : rows) expectWritten("ints", row.words, row.expected);
}

TEST(IdlValues, ArgumentsAreNamedOrTakenInOrder) {
    const Bytes oneTwo = cat({i32(1), i64(2)});
    struct Row {
        std::vector<std::string> words;
        Written expected;
    } rows[] = {
        {{"a=1", "b=2"}, bytes(oneTwo)},
        {{"b=2", "a=1"}, bytes(oneTwo)},
        {{"b=2", "1"}, bytes(oneTwo)},
        {{"1", "b=2"}, bytes(oneTwo)},
        {{"2", "a=1"}, bytes(cat({i32(1), i64(2)}))},
        {{"a=1"}, error("No value for argument 'b' (i64) of ints")},
        {{}, error("No value for argument 'a' (i32) of ints")},
        {{"1", "2", "3"}, error("Too many arguments for ints: 3")},
        {{"a=1", "a=1", "b=2"}, error("Argument 'a' given twice")},
        // A word is NAME=VALUE only for a name of the method; otherwise it is a value.
        {{"c=1", "2"}, error("Invalid value for argument 'a' (i32): not an integer")},
        {{"a==1", "2"}, error("Invalid value for argument 'a' (i32): not an integer")},
        {{"A=1", "2"}, error("Invalid value for argument 'a' (i32): not an integer")},
    };
    for (const Row& row : rows) expectWritten("ints", row.words, row.expected);
    expectWritten("none", {}, bytes({}));
    expectWritten("none", {"x"}, error("Too many arguments for none: x"));
    // Text values take what follows the first '=' as it is.
    expectWritten("texts", {"s=a=b", "n==="}, bytes(cat({s16(u"a=b"), s16(u"==")})));
    expectWritten("texts", {"n=x", "s=y"}, bytes(cat({s16(u"y"), s16(u"x")})));
}

TEST(IdlValues, EachScalarTypeFromText) {
    struct Row {
        std::string method;
        std::vector<std::string> words;
        Written expected;
    } rows[] = {
        {"flag", {"true"}, bytes(i32(1))},
        {"flag", {"false"}, bytes(i32(0))},
        {"flag", {"1"}, error("Invalid value for argument 'f' (bool): expected true or false")},
        {"flag", {"True"}, error("Invalid value for argument 'f' (bool): expected true or false")},
        {"texts", {"", "null"}, bytes(cat({s16(u""), nullString()}))},
        {"texts", {"null", ""}, bytes(cat({s16(u"null"), s16(u"")}))},
        {"texts",
         {"caf\xC3\xA9 \xF0\x9F\x98\x80", "a\xFF"},
         bytes(cat({s16(u"caf\xE9 \xD83D\xDE00"), s16(u"a\xFFFD")}))},
        {"blob", {""}, bytes(i32(0))},
        {"blob", {"00ff7F"}, bytes(cat({i32(3), {0x00, 0xFF, 0x7F, 0}}))},
        {"blob", {"0102030405"}, bytes(cat({i32(5), {1, 2, 3, 4, 5, 0, 0, 0}}))},
        {"blob",
         {"abc"},
         error("Invalid value for argument 'b' (bytes): an odd number of hex digits")},
        {"blob", {"0g"}, error("Invalid value for argument 'b' (bytes): not hex digits")},
        {"blob", {"0x00"}, error("Invalid value for argument 'b' (bytes): not hex digits")},
    };
    for (const Row& row : rows) expectWritten(row.method, row.words, row.expected);
}

TEST(IdlValues, ArraysAndRecordsFromJson) {
    const std::string arrays = "Invalid value for argument 'a' (i32[]): ";
    struct Row {
        std::string method;
        std::vector<std::string> words;
        Written expected;
    } rows[] = {
        {"arrays",
         {"[1, -2]", "[[], [9223372036854775807]]", "[null, \"\\ud800x\"]", "[\"\", \"ff\"]",
          "[true,false]"},
         bytes(cat({i32(2), i32(1), i32(0xFFFFFFFE), i32(2), i32(0), i32(1), i64(INT64_MAX), i32(2),
                    nullString(), s16(u"\xD800x"), i32(2), i32(0), cat({i32(1), {0xFF, 0, 0, 0}}),
                    i32(2), i32(1), i32(0)}))},
        {"arrays",
         {" [ ] ", "[]", "[]", "[]", "[]"},
         bytes(cat({i32(0), i32(0), i32(0), i32(0), i32(0)}))},
        {"arrays",
         {"[1,]", "[]", "[]", "[]", "[]"},
         error(arrays + "not JSON at byte 3: not a JSON value")},
        {"arrays",
         {"[1] x", "[]", "[]", "[]", "[]"},
         error(arrays + "not JSON at byte 4: text after the value")},
        {"arrays",
         {"", "[]", "[]", "[]", "[]"},
         error(arrays + "not JSON at byte 0: not a JSON value")},
        {"arrays", {"1", "[]", "[]", "[]", "[]"}, error(arrays + "expected a JSON array")},
        {"arrays", {"[1.5]", "[]", "[]", "[]", "[]"}, error(arrays + "at a[0]: not an integer")},
        {"arrays",
         {"[\"1\"]", "[]", "[]", "[]", "[]"},
         error(arrays + "at a[0]: expected an integer")},
        {"arrays",
         {"[2147483648]", "[]", "[]", "[]", "[]"},
         error(arrays + "at a[0]: out of range")},
        {"arrays",
         {"[0x10]", "[]", "[]", "[]", "[]"},
         error(arrays + "not JSON at byte 2: expected ',' or ']'")},
        {"arrays",
         {"[]", "[[1], 2]", "[]", "[]", "[]"},
         error("Invalid value for argument 'g' (i64[][]): at g[1]: expected a JSON array")},
        {"arrays",
         {"[]", "[]", "[1]", "[]", "[]"},
         error("Invalid value for argument 't' (s16?[]): at t[0]: expected a string or null")},
        {"arrays",
         {"[]", "[]", "[]", "[\"f\"]", "[]"},
         error("Invalid value for argument 'b' (bytes[]): at b[0]: an odd number of hex digits")},
        {"arrays",
         {"[]", "[]", "[]", "[null]", "[]"},
         error(
             "Invalid value for argument 'b' (bytes[]): at b[0]: expected a string of hex digits")},
        {"arrays",
         {"[]", "[]", "[]", "[]", "[0]"},
         error("Invalid value for argument 'f' (bool[]): at f[0]: expected true or false")},
        {"records",
         {"{\"ps\": [{\"y\": null, \"x\": 3}], \"p\": {\"x\": -1, \"y\": \"\\u00e9\\n\"}}"},
         bytes(cat({i32(0xFFFFFFFF), s16(u"\xE9\n"), i32(1), i32(3), nullString()}))},
        {"records",
         {"{\"p\": {\"x\": 1, \"y\": null}}"},
         error("Invalid value for argument 'q' (Q): at q.ps: missing")},
        {"records",
         {"{\"p\": {\"x\": 1, \"y\": null}, \"ps\": [], \"pz\": 1}"},
         error("Invalid value for argument 'q' (Q): at q.pz: no such field")},
        {"records",
         {"{\"p\": {\"x\": 1, \"y\": null, \"\\u202e\\u001b\": 0}, \"ps\": []}"},
         error("Invalid value for argument 'q' (Q): at q.p.\\u202E\\x1B: no such field")},
        {"records",
         {"{\"p\": {\"x\": 1, \"x\": 2, \"y\": null}, \"ps\": []}"},
         error("Invalid value for argument 'q' (Q): not JSON at byte 15: a key given twice")},
        {"records",
         {"{\"p\": [], \"ps\": []}"},
         error("Invalid value for argument 'q' (Q): at q.p: expected a JSON object")},
        {"records",
         {"{\"p\": {\"x\": 1, \"y\": 2}, \"ps\": []}"},
         error("Invalid value for argument 'q' (Q): at q.p.y: expected a string or null")},
    };
    for (const Row& row : rows) expectWritten(row.method, row.words, row.expected);
}

TEST(IdlValues, JsonTextIsReadStrictly) {
    struct Row {
        std::string text;
        size_t offset;
        std::string why;
    } rows[] = {
        {"\"abc", 4, "a string without its closing quote"},
        {"\"a\x01\"", 2, "a control character inside a string"},
        {"\"\\x\"", 2, "an unknown escape"},
        {"\"\\u12\"", 2, "an escape \\u without four hex digits"},
        {"{\"a\" 1}", 5, "expected ':' after the key"},
        {"{a: 1}", 1, "expected a key in quotes"},
        {"[1 2]", 3, "expected ',' or ']'"},
        {"{\"a\": 1 \"b\": 2}", 8, "expected ',' or '}'"},
        {"01", 1, "text after the value"},
        {"-", 1, "not a JSON value"},
        {"1.", 2, "no digits after the decimal point"},
        {"1e", 2, "no digits in the exponent"},
        {"nul", 0, "not a JSON value"},
        {std::string(65, '[') + std::string(65, ']'), 64, "nested too deeply"},
    };
    for (const Row& row : rows) {
        JsonError error;
        EXPECT_FALSE(parseJson(row.text, &error)) << row.text;
        EXPECT_EQ(error.offset, row.offset) << row.text;
        EXPECT_EQ(std::string(error.why), row.why) << row.text;
    }
    JsonError error;
    EXPECT_TRUE(parseJson(std::string(64, '[') + std::string(64, ']'), &error));
    std::optional<JsonValue> value =
        parseJson(" {\"\\\"\\\\\\/\\b\\f\\n\\r\\t\": -0.5e+3}\n", &error);
    ASSERT_TRUE(value);
    ASSERT_EQ(value->keys.size(), 1u);
    ASSERT_EQ(value->items.size(), 1u);
    EXPECT_EQ(value->keys[0], u"\"\\/\b\f\n\r\t");
    EXPECT_EQ(value->items[0].number, "-0.5e+3");
}

std::string hexOf(const Bytes& bytes) {
    std::string out;
    char two[4];
    for (uint8_t byte : bytes) {
        std::snprintf(two, sizeof two, "%02x ", byte);
        out += two;
    }
    return out;
}

// The JSON of a reply holding `items`, or "malformed: WHY".
std::string replyJson(const Bytes& items) {
    Parcel reply;
    reply.setData(items.data(), items.size());
    String8 out, why;
    const Method& method = *interface().findMethod("out");
    if (!readReplyAsJson(reply, interface(), method.reply, &out, &why)) {
        return std::string("malformed: ") + why.c_str();
    }
    // The JSON written back gives the bytes read, exactly.
    Parcel again;
    EXPECT_TRUE(writeJsonFields(again, interface(), method.reply, out.c_str(), &why))
        << why.c_str();
    EXPECT_EQ(test::bytesOf(again), Bytes(items.begin(), items.begin() + reply.dataPosition()));
    return out.c_str();
}

TEST(IdlValues, RepliesAsJson) {
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

TEST(IdlValues, JsonObjectsOfFields) {
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
            got.bytes = test::bytesOf(parcel);
        } else {
            got.error = why.c_str();
        }
        EXPECT_EQ(got, row.expected) << row.json;
    }
}

TEST(IdlValues, JsonStringsAreValidAndSafeToPrint) {
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
        appendJsonString(&out, row.text);
        EXPECT_EQ(std::string(out.data(), out.size()), row.json);
        // And it reads back as the same units.
        JsonError error;
        std::optional<JsonValue> back = parseJson(std::string_view(out.data(), out.size()), &error);
        ASSERT_TRUE(back) << row.json;
        EXPECT_EQ(back->string, row.text) << row.json;
    }
}

}  // namespace
}  // namespace zorlek::idl
