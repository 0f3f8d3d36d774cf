// SPDX-License-Identifier: Apache-2.0
// Arguments for a person: command-line text into exactly the bytes of their encoding, or
// one line saying what is wrong; the JSON of arrays and records read strictly.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "commands/typed/json_reader.h"
#include "platform/hosting.h"
#include "tests/commands/typed_values.h"

namespace zorlek::typed::test {
namespace {

Written write(const std::string& method, const std::vector<std::string>& words,
              const ObjectArguments& objects = {}, status_t* status = nullptr) {
    std::vector<const char*> argv;
    for (const std::string& word : words) argv.push_back(word.c_str());
    Parcel request;
    String8 why;
    if (!writeArguments(request, interface(), *interface().findMethod(method), argv.data(),
                        argv.size(), &why, objects)) {
        return {{}, why.c_str()};
    }
    if (status != nullptr) *status = request.status();
    return {zorlek::test::bytesOf(request), ""};
}

// Makes objects for `@`, or fails to; remembers for which interfaces it was asked.
class Maker : public ObjectMaker {
  public:
    explicit Maker(bool fails) : fails_(fails) {}
    sp<IBinder> make(const Interface& interface) override {
        asked.push_back(interface.name);
        if (fails_) return nullptr;
        return zorlek::make<LocalObject>(String16(u"t.IListener"));
    }
    std::vector<std::string> asked;

  private:
    bool fails_;
};

void expectWritten(const std::string& method, const std::vector<std::string>& words,
                   const Written& expected, const ObjectArguments& objects = {}) {
    std::string label = method;
    for (const std::string& word : words) label += " [" + word + "]";
    Written got = write(method, words, objects);
    EXPECT_EQ(got.error, expected.error) << label;
    EXPECT_EQ(got.bytes, expected.bytes) << label;
}

TEST(TypedArguments, IntegersAreReadStrictlyInTheirTypesRange) {
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

TEST(TypedArguments, ArgumentsAreNamedOrTakenInOrder) {
    const std::string kNamed = " (a value that holds '=' is given as NAME=VALUE)";
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
        // A word that holds '=' is NAME=VALUE, and NAME must be an argument of the method.
        {{"c=1", "2"}, error("No argument 'c' in ints" + kNamed)},
        {{"a==1", "2"}, error("Invalid value for argument 'a' (i32): not an integer")},
        {{"A=1", "2"}, error("No argument 'A' in ints" + kNamed)},
        {{"1", "2", "b"}, error("Too many arguments for ints: b")},
        {{"1", "2", "b=3"}, error("Too many arguments for ints: 2")},
        {{"a=1", "=2"}, error("No argument '' in ints" + kNamed)},
        {{"a=1", "b =2"}, error("No argument 'b ' in ints" + kNamed)},
    };
    for (const Row& row : rows) expectWritten("ints", row.words, row.expected);
    expectWritten("none", {}, bytes({}));
    expectWritten("none", {"x"}, error("Too many arguments for none: x"));
    // Text values take what follows the first '=' as it is.
    expectWritten("texts", {"s=a=b", "n==="}, bytes(cat({s16(u"a=b"), s16(u"==")})));
    expectWritten("texts", {"n=x", "s=y"}, bytes(cat({s16(u"y"), s16(u"x")})));
    expectWritten("texts", {"a=b", "c"}, error("No argument 'a' in texts" + kNamed));
    // JSON that holds '=' goes in the named form too.
    expectWritten("records", {"{\"p\": {\"x\": 1, \"y\": \"=\"}, \"ps\": []}"},
                  error("No argument '{\"p\": {\"x\": 1, \"y\": \"' in records" + kNamed));
    expectWritten("records", {"q={\"p\": {\"x\": 1, \"y\": \"=\"}, \"ps\": []}"},
                  bytes(cat({i32(1), s16(u"="), i32(0)})));
}

TEST(TypedArguments, EachScalarTypeFromText) {
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

TEST(TypedArguments, ObjectsAreNullOrMadeByTheHook) {
    const std::string invalid = "Invalid value for argument 'l' (t.IListener): ";
    const std::string notObject = invalid + "expected @ (an object of the tool's) or null";
    Maker maker(false), refusing(true);
    const ObjectArguments none, described{&description(), &maker};
    const Bytes nulls = cat({nullObject(), nullObject(), i32(1)});
    struct Row {
        std::vector<std::string> words;
        const ObjectArguments* objects;
        Written expected;
    } rows[] = {
        {{"null", "null", "1"}, &none, bytes(nulls)},
        {{"n=1", "o=null", "l=null"}, &described, bytes(nulls)},
        {{"@", "null", "1"}, &none, error(invalid + "objects (@) cannot be passed here")},
        {{"null", "@", "1"},
         &described,
         error("Invalid value for argument 'o' (x.IOther): no description of this interface to "
               "serve an object (@) by")},
        {{"NULL", "null", "1"}, &described, error(notObject)},
        {{"", "null", "1"}, &described, error(notObject)},
        {{"@@", "null", "1"}, &described, error(notObject)},
        {{"{}", "null", "1"}, &described, error(notObject)},
        {{"\"@\"", "null", "1"}, &described, error(notObject)},
        {{"0", "null", "1"}, &described, error(notObject)},
    };
    for (const Row& row : rows) expectWritten("objects", row.words, row.expected, *row.objects);
    EXPECT_TRUE(maker.asked.empty()) << "asked only for @ of an interface described";
    ObjectArguments refused{&description(), &refusing};
    EXPECT_EQ(write("objects", {"@", "null", "1"}, refused),
              error(invalid + "no object (@) could be made"));
    EXPECT_EQ(refusing.asked, std::vector<std::string>{"t.IListener"});
    // The object made goes as the parcel writes it; a parcel that cannot hold it keeps the
    // failure for the sender to see.
    status_t status = 1;
    Written made = write("objects", {"@", "null", "1"}, described, &status);
    EXPECT_EQ(made.error, "");
    EXPECT_EQ(maker.asked, std::vector<std::string>{"t.IListener"});
    Parcel probe;
    EXPECT_EQ(status, probe.writeStrongBinder(zorlek::make<LocalObject>(String16(u"t"))));
}

TEST(TypedArguments, ArraysAndRecordsFromJson) {
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

TEST(TypedArguments, JsonTextIsReadStrictly) {
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

}  // namespace
}  // namespace zorlek::typed::test
