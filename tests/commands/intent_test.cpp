// SPDX-License-Identifier: Apache-2.0
// The intent record: key=value splitting, every key, launch flags and their range,
// categories, and where the record ends, seen in the bytes of the request sent.

#include <gtest/gtest.h>

#include <optional>

#include "tests/commands/fakes.h"

namespace zorlek::test {
namespace {

using Text = std::optional<std::u16string>;

struct Fields {
    Text action = std::nullopt;
    Text data = std::nullopt;
    Text type = std::nullopt;
    uint32_t launchFlags = 0;
    Text component = std::nullopt;
    std::vector<std::u16string> categories = {};
};

Bytes optionalString(const Text& text) {
    return text ? s16(*text) : i32(0xFFFFFFFF);
}

Bytes record(const Fields& f) {
    Bytes out = cat({optionalString(f.action), optionalString(f.data), optionalString(f.type),
                     i32(f.launchFlags), optionalString(f.component),
                     i32(static_cast<uint32_t>(f.categories.size()))});
    for (const std::u16string& category : f.categories) out = cat({out, s16(category)});
    return cat({out, i32(0xFFFFFFFF)});
}

struct Row {
    std::vector<std::string> args;
    Bytes items;
};

std::string label(const std::vector<std::string>& args) {
    std::string out;
    for (const std::string& a : args) out.append("[").append(a, 0, 40).append("]");
    return out;
}

// Runs "call svc 1 ARGS" against an echoing object; the request after the token.
struct Sending {
    Outcome outcome;
    std::optional<Bytes> items;
    size_t transactions;
};

Sending send(const std::vector<std::string>& args) {
    Journal journal;
    sp<FakeRegistry> registry(new FakeRegistry(&journal));
    ObjectScript script = describedAs(u"I");
    script.callReply = Bytes{};
    registry->add("svc", script);
    std::vector<std::string> all = {"call", "svc", "1"};
    all.insert(all.end(), args.begin(), args.end());
    Sending result{runTool(registry, all), std::nullopt, journal.sent.size()};
    if (journal.sent.size() == 2) {
        const Bytes& bytes = journal.sent[1].bytes;
        Bytes token = s16(u"I");
        EXPECT_TRUE(std::equal(token.begin(), token.end(), bytes.begin())) << label(args);
        result.items = Bytes(bytes.begin() + static_cast<ptrdiff_t>(token.size()), bytes.end());
    }
    return result;
}

void expectSent(const std::vector<Row>& rows) {
    for (const Row& row : rows) {
        Sending got = send(row.args);
        EXPECT_EQ(got.outcome.err, "") << label(row.args);
        EXPECT_EQ(got.outcome.status, 0) << label(row.args);
        ASSERT_TRUE(got.items.has_value()) << label(row.args);
        EXPECT_EQ(*got.items, row.items)
            << label(row.args) << "\n got: " << hex(*got.items) << "\nwant: " << hex(row.items);
    }
}

TEST(Intent, RecordWithNoFieldsIsSevenIntegers) {
    Bytes seven = cat({i32(0xFFFFFFFF), i32(0xFFFFFFFF), i32(0xFFFFFFFF), i32(0), i32(0xFFFFFFFF),
                       i32(0), i32(0xFFFFFFFF)});
    EXPECT_EQ(record({}), seven);
    expectSent({
        {{"intent"}, seven},
        {{"i32", "3", "null", "intent"}, cat({i32(3), nullRef(), seven})},
        {{"intent", "extra=1", "Action=X", "ACTION=Y", "actions=Z"}, seven},
    });
}

TEST(Intent, KeysAndValuesSplitAsStrtokR) {
    expectSent({
        {{"intent", "action=X"}, record({.action = u"X"})},
        {{"intent", "action=X", "action=Y"}, record({.action = u"Y"})},
        {{"intent", "data=a=b"}, record({.data = u"a"})},
        {{"intent", "=type=t"}, record({.type = u"t"})},
        {{"intent", "type==t"}, record({.type = u"t"})},
        {{"intent", "===type===t==="}, record({.type = u"t"})},
        {{"intent", "component=c", "component"}, record({})},
        {{"intent", "component=c", "component="}, record({})},
        {{"intent", "component=c", "component==="}, record({})},
        {{"intent", "action"}, record({})},
        {{"intent", "action=caf\xC3\xA9", "data=a\xFF"},
         record({.action = u"caf\xE9", .data = u"a\xFFFD"})},
        {{"intent", "action=A", "data=D", "type=T", "launchFlags=7", "component=C"},
         record({u"A", u"D", u"T", 7, u"C", {}})},
        {{"intent", "component=C", "type=T", "data=D", "action=A"},
         record({u"A", u"D", u"T", 0, u"C", {}})},
        // After "intent" every argument is a pair: i32 and 5 are keys that match nothing.
        {{"intent", "action=X", "i32", "5", "null", "s16"}, record({.action = u"X"})},
        {{"s16", "hi", "intent", "data=d"}, cat({s16(u"hi"), record({.data = u"d"})})},
    });
}

TEST(Intent, LaunchFlags) {
    expectSent({
        {{"intent", "launchFlags=16"}, record({.launchFlags = 16})},
        {{"intent", "launchFlags=0x10"}, record({})},
        {{"intent", "launchFlags=-1"}, record({.launchFlags = 0xFFFFFFFF})},
        {{"intent", "launchFlags=4294967295"}, record({.launchFlags = 0xFFFFFFFF})},
        {{"intent", "launchFlags=-2147483648"}, record({.launchFlags = 0x80000000})},
        {{"intent", "launchFlags= 12abc"}, record({.launchFlags = 12})},
        {{"intent", "launchFlags=12=99999999999"}, record({.launchFlags = 12})},
        {{"intent", "launchFlags=5", "launchFlags"}, record({})},
        {{"intent", "launchFlags=5", "launchFlags==="}, record({})},
        {{"intent", "launchFlags"}, record({})},
    });
}

TEST(Intent, Categories) {
    std::vector<std::string> forty = {"intent", "action=A"};
    std::string joined;
    std::vector<std::u16string> fortyNames;
    for (int i = 0; i < 40; ++i) {
        std::string name = "c";
        name += std::to_string(i);
        joined.append(i == 0 ? "" : ",").append(name);
        fortyNames.emplace_back(name.begin(), name.end());
    }
    std::string many;
    std::vector<std::u16string> manyNames;
    for (int i = 0; i < 3000; ++i) {
        std::string name = "x";
        name += std::to_string(i);
        many.append(",,").append(name);
        manyNames.emplace_back(name.begin(), name.end());
    }
    expectSent({
        {{"intent", "categories=a,b"}, record({.categories = {u"a", u"b"}})},
        {{"intent", "categories=,a,,b,"}, record({.categories = {u"a", u"b"}})},
        {{"intent", "categories=a", "categories=b,c"}, record({.categories = {u"b", u"c"}})},
        {{"intent", "categories=a", "categories"}, record({})},
        {{"intent", "categories=a", "categories=,,,"}, record({})},
        {{"intent", "categories=a,b=c,d"}, record({.categories = {u"a", u"b"}})},
        {{"intent", "categories=caf\xC3\xA9,\xF0\x9F\x98\x80"},
         record({.categories = {u"caf\xE9", u"\xD83D\xDE00"}})},
        {{"intent", "categories=" + joined, "action=A"},
         record({.action = u"A", .categories = fortyNames})},
        {{"intent", "categories=" + many}, record({.categories = manyNames})},
    });
}

struct ErrorRow {
    std::vector<std::string> args;
    std::string err;
};

TEST(Intent, ErrorsCancelTheCall) {
    const ErrorRow rows[] = {
        {{"intent", "launchFlags=4294967296"},
         "zorlek: integer out of range for 'launchFlags': 4294967296\n"},
        {{"intent", "launchFlags=-2147483649=7", "action=A"},
         "zorlek: integer out of range for 'launchFlags': -2147483649\n"},
        {{"intent", "launchFlags=99999999999999999999999", "launchFlags=1"},
         "zorlek: integer out of range for 'launchFlags': 99999999999999999999999\n"},
        // An argument without a key ends the record and is then an unknown word.
        {{"intent", "action=X", ""}, "zorlek: unknown option \n"},
        {{"intent", "action=X", "===", "i32", "1"}, "zorlek: unknown option ===\n"},
        {{"intent", "=", "intent"}, "zorlek: unknown option =\n"},
    };
    for (const ErrorRow& row : rows) {
        Sending got = send(row.args);
        EXPECT_EQ(got.outcome.out, kUsage) << label(row.args);
        EXPECT_EQ(got.outcome.err, row.err) << label(row.args);
        EXPECT_EQ(got.outcome.status, 10) << label(row.args);
        EXPECT_EQ(got.transactions, 1u) << label(row.args);  // only the descriptor query
    }
}

}  // namespace
}  // namespace zorlek::test
