// SPDX-License-Identifier: Apache-2.0
// Reading interface descriptions: every error with its line and reason, the model of a
// description that uses every type, and the canonical text, which reads back the same.

#include <gtest/gtest.h>

#include <string>

#include "idl/parser.h"
#include "idl/printer.h"

namespace zorlek::idl {
namespace {

std::u16string utf16(const std::string& text) {
    std::u16string out;
    appendUtf8AsUtf16(&out, text.data(), text.size());
    return out;
}

// "LINE: WHY", or "ok".
std::string outcome(const std::string& text) {
    ParseError error;
    if (parseDescription(utf16(text), &error)) return "ok";
    return std::to_string(error.line) + ": " + error.why.c_str();
}

std::string repeated(const std::string& piece, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += piece;
    return out;
}

// Interfaces i1 .. in, one a line.
std::string interfaces(int n) {
    std::string text;
    for (int i = 1; i <= n; ++i) text += "interface i" + std::to_string(i) + ";\n";
    return text;
}

// The one interface of a description.
std::optional<Interface> parseOne(std::u16string_view text, ParseError* error) {
    std::optional<Description> description = parseDescription(text, error);
    if (!description) return std::nullopt;
    EXPECT_EQ(description->interfaces.size(), 1u);
    return description->interfaces[0];
}

// Records R1 .. Rn, each holding the one before: Rn nests n + 1 deep.
std::string chain(int n) {
    std::string text = "interface x;\nrecord R1 { a: i32; }\n";
    for (int i = 2; i <= n; ++i) {
        text += "record R" + std::to_string(i) + " { r: R" + std::to_string(i - 1) + "; }\n";
    }
    return text;
}

TEST(IdlParser, EveryErrorHasItsLineAndReason) {
    const std::string head = "interface x;\n";
    const std::string badName = "(letters and digits, single underscores between)";
    const std::string declaration = "'record', 'method', 'oneway' or 'interface'";
    struct Row {
        std::string text;
        std::string outcome;
    } rows[] = {
        {"", "1: expected 'interface' and the interface's name, found the end of the text"},
        {"// only a comment\n",
         "2: expected 'interface' and the interface's name, found the end of the text"},
        {"interface ;", "1: expected the interface's name (identifiers joined by dots), found ';'"},
        {"interface a..b;",
         "1: expected the interface's name (identifiers joined by dots), found 'a..b'"},
        {"interface a.b", "1: expected ';' after the interface's name, found the end of the text"},
        {"interface x; interface y;", "ok"},
        {"interface x; interface x.y; interface x;", "1: interface 'x' is declared twice"},
        {"interface x; interface ;",
         "1: expected the interface's name (identifiers joined by dots), found ';'"},
        {"interface x; record P { a: i32; } interface y; method m(p: P) = 1;",
         "1: unknown type 'P' (a record is declared before its use)"},
        {"interface x; method m() = 1; interface y; method m() = 1;", "ok"},
        {interfaces(64) + "method m() = 1;", "ok"},
        {interfaces(65), "65: more than 64 interfaces in one description"},
        // Interface types: a dotted name may be described elsewhere; a name of one word
        // must be an interface of the description, before or after; only as a method's
        // field, and never in an array.
        {head + "method m(a: x, b: q.r.IOther) -> (c: y) = 1;\ninterface y;", "ok"},
        {head + "method m(a: x) -> (c: y) = 1;\nmethod n(b: y) = 2;\n",
         "2: unknown type 'y' (a record is declared before its use)"},
        {head + "method m(a: y) = 1;\nmethod n(b: z) = 2;\n",
         "2: unknown type 'y' (a record is declared before its use)"},
        {head + "method m(a: q.I[]) = 1;",
         "2: an array cannot hold interface types (references to objects)"},
        {head + "method m(a: x[][]) = 1;",
         "2: an array cannot hold interface types (references to objects)"},
        {head + "method m(a: q.I?) = 1;", "2: only s16 may be null ('?')"},
        {head + "record R { a: q.I; }", "2: a record's field cannot be an interface type ('q.I')"},
        {head + "record R { a: x; }", "2: a record's field cannot be an interface type ('x')"},
        {head + "record R { a: y; }\ninterface y;",
         "2: unknown type 'y' (a record is declared before its use)"},
        {head + "method m(a: q..I) = 1;",
         "2: unknown type 'q..I' (a record is declared before its use)"},
        {head + "method m(a: q.1I) = 1;",
         "2: unknown type 'q.1I' (a record is declared before its use)"},
        {head + "record y { a: i32; }\nmethod m(a: y) = 1;\ninterface y;",
         "2: record 'y' takes the name of an interface"},
        {head + "method m(a: x.y) = 1;\ninterface x.y;\nrecord x { a: i32; }",
         "4: record 'x' takes the name of an interface"},
        {head + "method m() = 0;", "2: expected a code from 1 to 16777215 (0xFFFFFF), found '0'"},
        {head + "method m() = 0x1000000;",
         "2: expected a code from 1 to 16777215 (0xFFFFFF), found '0x1000000'"},
        {head + "method m() = 99999999999999999999;",
         "2: expected a code from 1 to 16777215 (0xFFFFFF), found '99999999999999999999'"},
        {head + "method m() = 12abc;",
         "2: expected a code from 1 to 16777215 (0xFFFFFF), found '12abc'"},
        {head + "method m() = -1;", "2: expected a code from 1 to 16777215 (0xFFFFFF), found '-'"},
        {head + "method m() 1;", "2: expected '=' and the method's code, found '1'"},
        {head + "method m() = 1", "2: expected ';' after the method, found the end of the text"},
        {head + "method a() = 1;\nmethod b() = 0x1;", "3: code 0x1 is taken by another method"},
        {head + "method a() = 1;\n\nmethod a() = 2;", "4: method 'a' is declared twice"},
        {head + "method m(x: i33) = 1;",
         "2: unknown type 'i33' (a record is declared before its use)"},
        {head + "method m(p: P) = 1;\nrecord P { x: i32; }",
         "2: unknown type 'P' (a record is declared before its use)"},
        {head + "record R {\n}", "2: record 'R' has no fields"},
        {head + "record i32 { x: i32; }",
         "2: expected the record's name, not a built-in type, found 'i32'"},
        {head + "record R { x: i32; }\nrecord R { y: i32; }", "3: record 'R' is declared twice"},
        {head + "record R {\n x: i32;\n x: i64; }", "4: 'x' is named twice"},
        {head + "method m(a: i32, a: i32) = 1;", "2: 'a' is named twice"},
        {head + "method m() -> (a: i32, a: s16) = 1;", "2: 'a' is named twice"},
        {head + "oneway method m(a: i32) -> (b: i32) = 1;", "2: a one-way method has no reply"},
        {head + "oneway m() = 1;", "2: expected 'method' after 'oneway', found 'm'"},
        {head + "/// dangling\n", "2: a doc comment before nothing"},
        {head + "record R {\n x: i32;\n /// dangling\n}", "4: a doc comment before nothing"},
        {head + "method m(/// no\n a: i32) = 1;",
         "2: expected a field's name " + badName + ", found a doc comment"},
        {head + "method m(a__b: i32) = 1;",
         "2: expected a field's name " + badName + ", found 'a__b'"},
        {head + "method m(a_: i32) = 1;", "2: expected a field's name " + badName + ", found 'a_'"},
        {head + "method m(_a: i32) = 1;", "2: expected a field's name " + badName + ", found '_a'"},
        {head + "method m(1a: i32) = 1;", "2: expected a field's name " + badName + ", found '1a'"},
        {head + "method a.b() = 1;", "2: expected the method's name " + badName + ", found 'a.b'"},
        {head + "method m(a i32) = 1;", "2: expected ':' after the name, found 'i32'"},
        {head + "method m(a: i32 b: i32) = 1;", "2: expected ',' between two fields, found 'b'"},
        {head + "method m(a: i32,) = 1;", "2: expected a field's name " + badName + ", found ')'"},
        {head + "method m(a: i32?) = 1;", "2: only s16 may be null ('?')"},
        {head + "method m(a: s16?"
                "?) = 1;",
         "2: expected ',' between two fields, found '?'"},
        {head + "method m(a: i32[) = 1;", "2: expected ']' after '[', found ')'"},
        {head + "method m(a: ) = 1;", "2: expected a type, found ')'"},
        {head + "m\xC3\xA9thod", "2: expected " + declaration + ", found 'm'"},
        {head + "\xC3\xA9", "2: expected " + declaration + ", found the character U+00E9"},
        {head + "\x1B[31m", "2: expected " + declaration + ", found the character U+001B"},
        {head + "@", "2: expected " + declaration + ", found '@'"},
        {head + repeated("a", 50),
         "2: expected " + declaration + ", found '" + repeated("a", 40) + "...'"},
        // CR LF lines count once; plain comments and their contents are skipped.
        {"interface x;\r\n// \xC3\xA9 @\r\nmethod m() = 0;",
         "3: expected a code from 1 to 16777215 (0xFFFFFF), found '0'"},
        // Nesting: 31 array levels around an i32 are 32 levels, the most.
        {head + "method m(a: i32" + repeated("[]", 31) + ") = 1;", "ok"},
        {head + "method m(a: i32" + repeated("[]", 32) + ") = 1;",
         "2: 'a' nests deeper than 32 levels"},
        {chain(31), "ok"},
        {chain(32), "33: 'r' nests deeper than 32 levels"},
        {chain(31) + "method m(a: R31[]) = 1;", "33: 'a' nests deeper than 32 levels"},
        {head + "method m(a: i32, b: s16?, c: bytes[]) -> (d: bool) = 0xFFFFFF;", "ok"},
    };
    for (const Row& row : rows) EXPECT_EQ(outcome(row.text), row.outcome) << row.text;
}

TEST(IdlParser, ReadsEveryPartOfADescription) {
    std::string text =
        "/// The interface.\n///\n///   indented  \r\ninterface a.b.IThing; // not a doc\n"
        "/// A point.\nrecord Point {\n  /// Across.\n  x: i32;\n  y: i64;\n}\n"
        "record Shape { points: Point[]; name: s16?; grid: bytes[][]; }\n"
        "/// Draws.\nmethod draw(shape: Shape, scale: bool) -> (area: i64, note: s16) = 0x10;\n"
        "oneway method ping() = 2;\nmethod nothing() -> () = 3;\n";
    ParseError error;
    std::optional<Interface> parsed = parseOne(utf16(text), &error);
    ASSERT_TRUE(parsed) << error.line << ": " << error.why.c_str();
    const Interface& in = *parsed;
    EXPECT_EQ(in.name, "a.b.IThing");
    EXPECT_EQ(in.doc, (Doc{u"The interface.", u"", u"  indented"}));
    ASSERT_EQ(in.records.size(), 2u);
    EXPECT_EQ(in.records[0].name, "Point");
    EXPECT_EQ(in.records[0].doc, Doc{u"A point."});
    EXPECT_EQ(in.records[0].fields[0].doc, Doc{u"Across."});
    EXPECT_EQ(in.records[0].fields[1].type, (Type{Kind::kI64, 0, 0}));
    EXPECT_EQ(in.records[0].depth, 2u);
    const Record& shape = in.records[1];
    EXPECT_EQ(shape.fields[0].type, (Type{Kind::kRecord, 0, 1}));
    EXPECT_EQ(shape.fields[1].type, (Type{Kind::kNullableS16, 0, 0}));
    EXPECT_EQ(shape.fields[2].type, (Type{Kind::kBytes, 0, 2}));
    EXPECT_EQ(shape.depth, 4u);
    EXPECT_EQ(typeName(in, shape.fields[0].type), "Point[]");
    EXPECT_EQ(typeName(in, shape.fields[2].type), "bytes[][]");
    ASSERT_EQ(in.methods.size(), 3u);
    const Method& draw = in.methods[0];
    EXPECT_EQ(draw.name, "draw");
    EXPECT_EQ(draw.code, 16u);
    EXPECT_FALSE(draw.oneway);
    EXPECT_EQ(draw.doc, Doc{u"Draws."});
    ASSERT_EQ(draw.arguments.size(), 2u);
    EXPECT_EQ(draw.arguments[0].type, (Type{Kind::kRecord, 1, 0}));
    EXPECT_EQ(draw.arguments[1].type, (Type{Kind::kBool, 0, 0}));
    ASSERT_EQ(draw.reply.size(), 2u);
    EXPECT_EQ(draw.reply[1].name, "note");
    EXPECT_EQ(draw.line, 13u);
    EXPECT_TRUE(in.methods[1].oneway);
    EXPECT_TRUE(in.methods[2].reply.empty());
    EXPECT_EQ(in.findMethod("ping"), &in.methods[1]);
    EXPECT_EQ(in.findMethod("pin"), nullptr);
}

TEST(IdlParser, ReadsInterfacesAndTheirTypes) {
    std::string text =
        "interface sample.ITickListener;\n"
        "oneway method tick(n: i64) = 1;\n"
        "method ping(n: i32) -> (echo: i32) = 2;\n"
        "\n"
        "interface sample.ITicker;\n"
        "/// Calls listener.tick(1), tick(2), ... every period_ms milliseconds until the "
        "listener's process goes.\n"
        "method subscribe(listener: sample.ITickListener, period_ms: i32) -> (subscribers: i32) "
        "= 1;\n"
        "/// Calls listener.ping(n) while the caller waits, and returns its answer (or its "
        "failure status).\n"
        "method probe(listener: sample.ITickListener, n: i32) -> (answer: i32) = 2;\n"
        "method other(a: x.IOther, b: sample.ITickListener) -> (c: x.IOther) = 3;\n";
    ParseError error;
    std::optional<Description> parsed = parseDescription(utf16(text), &error);
    ASSERT_TRUE(parsed) << error.line << ": " << error.why.c_str();
    ASSERT_EQ(parsed->interfaces.size(), 2u);
    const Interface& listener = parsed->interfaces[0];
    const Interface& ticker = parsed->interfaces[1];
    EXPECT_EQ(parsed->find("sample.ITicker"), &ticker);
    EXPECT_EQ(parsed->find("sample.ITick"), nullptr);
    EXPECT_EQ(listener.name, "sample.ITickListener");
    EXPECT_EQ(listener.findMethod(2u), &listener.methods[1]);
    EXPECT_EQ(listener.findMethod(3u), nullptr);
    EXPECT_TRUE(listener.interfaceTypes.empty());
    EXPECT_EQ(ticker.interfaceTypes,
              (std::vector<std::string>{"sample.ITickListener", "x.IOther"}));
    const Method& other = ticker.methods[2];
    EXPECT_EQ(other.line, 10u);
    EXPECT_EQ(other.arguments[0].type, (Type{Kind::kInterface, 1, 0}));
    EXPECT_EQ(other.arguments[1].type, (Type{Kind::kInterface, 0, 0}));
    EXPECT_EQ(other.reply[0].type, (Type{Kind::kInterface, 1, 0}));
    EXPECT_EQ(typeName(ticker, other.reply[0].type), "x.IOther");
    EXPECT_EQ(depthOf(ticker, other.reply[0].type), 1u);
}

TEST(IdlParser, TheCanonicalTextReadsBackTheSame) {
    struct Row {
        std::string text;
        std::string canonical;
    } rows[] = {
        {"interface   x ;", "interface x;\n"},
        // Plain comments go; doc comments stay, one space after the slashes.
        {"// licence\n///doc\ninterface x;//tail\n", "/// doc\ninterface x;\n"},
        {"interface x;\n///\n/// \xC3\xA9 \x1B\nmethod m ( a : i32 , b:s16? [ ] )->( ) = 0x0A ;",
         "interface x;\n\n///\n/// \xC3\xA9 \x1B\nmethod m(a: i32, b: s16?[]) = 10;\n"},
        // Records come before methods, in their order.
        {"interface x; method m(p: P) -> (q: P) = 1; oneway method n() = 2;",
         "1: unknown type 'P' (a record is declared before its use)"},
        {"interface x; record P { /// x\nx: i32; } method m(p: P[]) -> (q: P) = 1; "
         "oneway method n() = 2; record Q { p: P; }",
         "interface x;\n\nrecord P {\n    /// x\n    x: i32;\n}\n\nrecord Q {\n    p: P;\n}\n\n"
         "method m(p: P[]) -> (q: P) = 1;\n\noneway method n() = 2;\n"},
        // Interfaces one after another, a blank line between; a one-word interface type
        // reads back whichever interface comes first.
        {"/// A\ninterface a; method m(b: b, c: x.IC) -> (me: a) = 1; /// B\ninterface b;"
         "record P {x: i32;} oneway method n(p: P, a: a) = 1;",
         "/// A\ninterface a;\n\nmethod m(b: b, c: x.IC) -> (me: a) = 1;\n\n/// B\n"
         "interface b;\n\nrecord P {\n    x: i32;\n}\n\noneway method n(p: P, a: a) = 1;\n"},
    };
    for (const Row& row : rows) {
        ParseError error;
        std::optional<Description> first = parseDescription(utf16(row.text), &error);
        if (!first) {
            EXPECT_EQ(std::to_string(error.line) + ": " + error.why.c_str(), row.canonical);
            continue;
        }
        std::u16string canonical = printDescription(*first);
        EXPECT_EQ(canonical, utf16(row.canonical)) << row.text;
        // Each interface's own text (itself first, then the others) reads back the same.
        for (size_t own = 0; own < first->interfaces.size(); ++own) {
            std::u16string text = printDescription(*first, own);
            std::optional<Description> again = parseDescription(text, &error);
            ASSERT_TRUE(again) << row.text << " " << error.why.c_str();
            EXPECT_EQ(again->interfaces[0].name, first->interfaces[own].name);
            EXPECT_EQ(printDescription(*again), text) << row.text;
        }
    }
}

TEST(IdlParser, UnitsOfAnyValueAreRefusedOrKeptInDocs) {
    // Text from a service may hold any units: a lone surrogate in a doc comment is kept as
    // it is; anywhere else it is an error, like any other character.
    std::u16string text = u"/// \xD800 and \xDFFF\ninterface x;";
    ParseError error;
    std::optional<Interface> parsed = parseOne(text, &error);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->doc, Doc{u"\xD800 and \xDFFF"});
    EXPECT_FALSE(parseOne(u"interface x;\n\xD800", &error));
    EXPECT_EQ(std::string(error.why.c_str()),
              "expected 'record', 'method', 'oneway' or 'interface', found the character U+D800");
    EXPECT_FALSE(parseOne(std::u16string(u"interface x\0;", 13), &error));
    EXPECT_EQ(std::string(error.why.c_str()),
              "expected ';' after the interface's name, found the character U+0000");
}

}  // namespace
}  // namespace zorlek::idl
