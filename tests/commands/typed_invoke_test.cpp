// SPDX-License-Identifier: Apache-2.0
// invoke through the driver against an in-memory registry: arguments named or in order, the
// reply as JSON within its bound, and services that cannot be called by name.

#include <gtest/gtest.h>

#include "tests/commands/typed_rows.h"

namespace zorlek::test {
namespace {

TEST(Invoke, CallsAMethodByNameAndPrintsItsReplyAsJson) {
    const std::string result42 =
        "Result: Parcel(4 bytes)\n  00000000: 0000002a" + std::string(29, ' ') + "*...\n";
    Sent add{"adder", 1, cat({kToken, i32(2), i32(40)}), 0};
    expectRows(
        "invoke",
        {
            {{"adder", "add", "a=2", "b=40"}, "{\"sum\": 42}\n", "", 0, called("adder", "1"), add},
            {{"adder", "add", "b=40", "2"}, "{\"sum\": 42}\n", "", 0, called("adder", "1"), add},
            {{"adder", "add", "2", "0x28"}, "{\"sum\": 42}\n", "", 0, called("adder", "1"), add},
            {{"--", "adder", "add", "2", "40"},
             "{\"sum\": 42}\n",
             "",
             0,
             called("adder", "1"),
             add},
            {{"--raw", "adder", "add", "2", "40"}, result42, "", 0, called("adder", "1"), add},
            // A one-way method has no reply: an empty object.
            {{"adder", "ping"},
             "{}\n",
             "",
             0,
             called("adder", "2"),
             Sent{"adder", 2, kToken, FLAG_ONEWAY}},
            {{"adder", "text", "s=x=y"},
             "{}\n",
             "",
             0,
             called("adder", "3"),
             Sent{"adder", 3, cat({kToken, s16(u"x=y")}), 0}},
            {{"adder", "text", "s="},
             "{}\n",
             "",
             0,
             called("adder", "3"),
             Sent{"adder", 3, cat({kToken, s16(u"")}), 0}},
            {{"adder", "text", "null"},
             "{}\n",
             "",
             0,
             called("adder", "3"),
             Sent{"adder", 3, cat({kToken, i32(0xFFFFFFFF)}), 0}},
            // A reference to an object: null both ways.
            {{"objects", "pass", "l=null", "2"},
             "{\"back\": null, \"count\": 3}\n",
             "",
             0,
             called("objects", "1"),
             Sent{"objects", 1, cat({kToken, i32(0), i32(0), i32(2)}), 0}},
            // Text from the service is valid JSON and safe to print.
            {{"hostile", "m"},
             "{\"t\": \"\\u001b[2J\\ud800\\\"\\n\", \"u\": null}\n",
             "",
             0,
             called("hostile", "5"),
             Sent{"hostile", 5, s16(u"h.I"), 0}},
        });
}

TEST(Invoke, AWrongCommandLineSendsNothing) {
    const std::string big(600000, 'x');
    expectRows(
        "invoke",
        {
            {{}, kUsage, "zorlek: No service specified for invoke\n", 10, {}, {}},
            {{"--raw"}, kUsage, "zorlek: No service specified for invoke\n", 10, {}, {}},
            {{"adder"}, kUsage, "zorlek: No method specified for invoke\n", 10, {}, {}},
            {{"--bogus", "adder", "add"},
             kUsage,
             "zorlek: Unknown option --bogus of invoke\n",
             10,
             {},
             {}},
            {{"-x", "adder", "add"}, kUsage, "zorlek: Unknown option -x of invoke\n", 10, {}, {}},
            {{"--interface"},
             kUsage,
             "zorlek: No file specified for --interface of invoke\n",
             10,
             {},
             {}},
            // Values are checked against the description before the call.
            {{"adder", "add", "1"},
             "",
             "zorlek: No value for argument 'b' (i32) of add\n",
             10,
             asked("adder"),
             {}},
            {{"adder", "add", "1", "x"},
             "",
             "zorlek: Invalid value for argument 'b' (i32): not an integer\n",
             10,
             asked("adder"),
             {}},
            {{"adder", "add", "1", "2147483648"},
             "",
             "zorlek: Invalid value for argument 'b' (i32): out of range\n",
             10,
             asked("adder"),
             {}},
            {{"adder", "add", "1", "2", "3"},
             "",
             "zorlek: Too many arguments for add: 3\n",
             10,
             asked("adder"),
             {}},
            {{"adder", "add", "a=1", "a=2"},
             "",
             "zorlek: Argument 'a' given twice\n",
             10,
             asked("adder"),
             {}},
            {{"adder", "sub"},
             "",
             "zorlek: Interface s.IAdder has no method sub\n",
             10,
             asked("adder"),
             {}},
            {{"adder", "Add"},
             "",
             "zorlek: Interface s.IAdder has no method Add\n",
             10,
             asked("adder"),
             {}},
            // Objects: only null, until the tool can host one; and only the service's own
            // interface's methods.
            {{"objects", "pass", "@", "2"},
             "",
             "zorlek: Invalid value for argument 'l' (s.IListener): objects (@) cannot be passed "
             "here\n",
             10,
             asked("objects"),
             {}},
            {{"objects", "pass", "l=0", "2"},
             "",
             "zorlek: Invalid value for argument 'l' (s.IListener): expected @ (an object of the "
             "tool's) or null\n",
             10,
             asked("objects"),
             {}},
            {{"objects", "tick", "1"},
             "",
             "zorlek: Interface s.IAdder has no method tick\n",
             10,
             asked("objects"),
             {}},
            // A request too large to build is refused whole, as call refuses it.
            {{"adder", "text", big},
             "",
             "zorlek: Transaction failed with status -90 (Message too long)\n",
             10,
             asked("adder"),
             {}},
        });
}

TEST(Invoke, AWordThatHoldsAnEqualsSignNamesAnArgument) {
    const std::string named = " (a value that holds '=' is given as NAME=VALUE)\n";
    expectRows("invoke",
               {
                   // A word that holds '=' names an argument; a value that holds one is named too.
                   {{"adder", "add", "a=1", "ss=hi"},
                    "",
                    "zorlek: No argument 'ss' in add" + named,
                    10,
                    asked("adder"),
                    {}},
                   {{"adder", "add", "1", "b=2", "A=3"},
                    "",
                    "zorlek: No argument 'A' in add" + named,
                    10,
                    asked("adder"),
                    {}},
                   {{"adder", "text", "x=y"},
                    "",
                    "zorlek: No argument 'x' in text" + named,
                    10,
                    asked("adder"),
                    {}},
                   {{"adder", "add", "=1", "2"},
                    "",
                    "zorlek: No argument '' in add" + named,
                    10,
                    asked("adder"),
                    {}},
                   {{"adder", "text", "\x1B[2J=1"},
                    "",
                    "zorlek: No argument '\\x1B[2J' in text" + named,
                    10,
                    asked("adder"),
                    {}},
               });
}

TEST(Invoke, ServicesThatCannotBeCalledByName) {
    const std::string noDescription =
        " does not describe its interface (--interface FILE.zi gives one)\n";
    expectRows(
        "invoke",
        {
            {{"nosuch", "m"},
             "",
             "zorlek: Service nosuch does not exist\n",
             10,
             {"lookup (unlisted)"},
             {}},
            {{"gone", "m"}, "", "zorlek: Service gone does not exist\n", 10, {"lookup gone"}, {}},
            {{"nodesc", "m"},
             "",
             "zorlek: Service nodesc" + noDescription,
             10,
             asked("nodesc"),
             {}},
            {{"blankdesc", "m"},
             "",
             "zorlek: Service blankdesc" + noDescription,
             10,
             asked("blankdesc"),
             {}},
            {{"silent", "m"},
             "",
             "zorlek: Unable to get the interface of silent: Connection timed out\n",
             10,
             asked("silent"),
             {}},
            {{"positive", "m"},
             "",
             "zorlek: Unable to get the interface of positive: status 3\n",
             10,
             asked("positive"),
             {}},
            {{"garbled", "m"},
             "",
             "zorlek: Unable to get the interface of garbled: Bad message\n",
             10,
             asked("garbled"),
             {}},
            {{"wrong", "add"},
             "",
             "zorlek: Service wrong describes its interface wrongly: line 2: expected a field's "
             "name "
             "(letters and digits, single underscores between), found '='\n",
             10,
             asked("wrong"),
             {}},
            // Failures of the call itself are reported as call reports them.
            {{"failing", "add", "1", "2"},
             "",
             "zorlek: Transaction failed with status -22 (Invalid argument)\n",
             10,
             called("failing", "1"),
             {}},
            // As call, whatever the reply holds is shown.
            {{"--raw", "failing", "add", "1", "2"},
             "Result: Parcel(4 bytes)\n  00000000: 0000002a" + std::string(29, ' ') + "*...\n",
             "zorlek: Transaction failed with status -22 (Invalid argument)\n",
             10,
             called("failing", "1"),
             {}},
            {{"broken", "add", "1", "2"},
             "",
             "zorlek: Service broken sent a malformed reply to add: at sum (i32)\n",
             10,
             called("broken", "1"),
             {}},
            // The JSON of a reply is bounded by the reply and the description: names written
            // again for every record would make 8,004 bytes print as 80 MB.
            {{"longnames", "add"},
             "",
             "zorlek: Service longnames sent a reply to add whose JSON would pass its bound (64 "
             "bytes a byte of the reply and the description); --raw shows it\n",
             10,
             called("longnames", "1"),
             Sent{"longnames", 1, kToken, 0}},
            {{"--raw", "broken", "add", "1", "2"},
             "Result: Parcel(0 bytes)\n",
             "",
             0,
             called("broken", "1"),
             {}},
        });
}

}  // namespace
}  // namespace zorlek::test
