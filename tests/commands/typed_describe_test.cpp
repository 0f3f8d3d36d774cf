// SPDX-License-Identifier: Apache-2.0
// describe through the driver against an in-memory registry: the canonical description,
// escaped, from the service or from a file, and invoke with that file.

#include <gtest/gtest.h>

#include "tests/commands/typed_rows.h"

namespace zorlek::test {
namespace {

TEST(Describe, PrintsTheCanonicalDescriptionEscaped) {
    expectRows(
        "describe",
        {
            {{"adder"}, kAdderCanonical, "", 0, asked("adder"), {}},
            {{"--", "adder"}, kAdderCanonical, "", 0, asked("adder"), {}},
            // Every interface of the description, the service's first.
            {{"objects"}, kObjectsCanonical, "", 0, asked("objects"), {}},
            {{"adder", "extra"},
             kUsage,
             "zorlek: Too many arguments for describe: extra\n",
             10,
             {},
             {}},
            {{"hostile"},
             "/// \\x1B[31m red \\u202Eevil \xEF\xBF\xBD\ninterface h.I;\n\n"
             "method m() -> (t: s16, u: s16?) = 5;\n",
             "",
             0,
             asked("hostile"),
             {}},
            {{}, kUsage, "zorlek: No service specified for describe\n", 10, {}, {}},
            {{"--raw", "adder"}, kUsage, "zorlek: Unknown option --raw of describe\n", 10, {}, {}},
            {{"nodesc"},
             "",
             "zorlek: Service nodesc does not describe its interface (--interface FILE.zi "
             "gives one)\n",
             10,
             asked("nodesc"),
             {}},
            {{"gone"}, "", "zorlek: Service gone does not exist\n", 10, {"lookup gone"}, {}},
        });
}

TEST(Describe, TakesTheDescriptionFromAFileForServicesThatGiveNone) {
    DescriptionFile file(
        "// A description kept beside the service.\n"
        "interface s.IAdder;\nmethod add(a: i32, b: i32) -> (sum: i32) = 1;\n");
    DescriptionFile broken("interface s.IAdder;\n\nmethod add(a: i33) = 1;\n");
    const std::string& path = file.path();
    const std::string canonical =
        "interface s.IAdder;\n\nmethod add(a: i32, b: i32) -> (sum: i32) = 1;\n";
    const std::vector<std::string> descriptor = {"lookup nodesc", "send nodesc 5f4e5446"};
    expectRows("describe",
               {
                   {{"--interface", path, "nodesc"}, canonical, "", 0, descriptor, {}},
                   {{"--interface", path, "other"},
                    "",
                    "zorlek: Service other implements x.IOther, not s.IAdder\n",
                    10,
                    {"lookup other", "send other 5f4e5446"},
                    {}},
                   {{"--interface", path, "blank"},
                    "",
                    "zorlek: Service blank does not exist\n",
                    10,
                    {"lookup blank", "send blank 5f4e5446"},
                    {}},
                   {{"--interface", path, "refuses"},
                    "",
                    "zorlek: Unable to get the interface of refuses: Invalid request code\n",
                    10,
                    {"lookup refuses", "send refuses 5f4e5446"},
                    {}},
                   // The file is read before anything is asked.
                   {{"--interface", "/nonexistent/x.zi", "nodesc"},
                    "",
                    "zorlek: Unable to read /nonexistent/x.zi: No such file or directory\n",
                    10,
                    {},
                    {}},
                   {{"--interface", broken.path(), "nodesc"},
                    "",
                    "zorlek: " + broken.path() +
                        ":3: unknown type 'i33' (a record is declared before its use)\n",
                    10,
                    {},
                    {}},
               });
    // A file of several interfaces: the one the service implements is found by its name.
    DescriptionFile two(
        "interface s.IListener;\noneway method tick(n: i64) = 1;\n"
        "interface s.IAdder;\nmethod add(a: i32, b: i32) -> (sum: i32) = 1;\n");
    expectRows("describe",
               {
                   {{"--interface", two.path(), "nodesc"},
                    "interface s.IListener;\n\noneway method tick(n: i64) = 1;\n\n" + canonical,
                    "",
                    0,
                    descriptor,
                    {}},
                   {{"--interface", two.path(), "other"},
                    "",
                    "zorlek: Service other implements x.IOther, which " + two.path() +
                        " does not describe\n",
                    10,
                    {"lookup other", "send other 5f4e5446"},
                    {}},
               });
    expectRows("invoke", {
                             {{"--interface", two.path(), "nodesc", "add", "1", "2"},
                              "{\"sum\": 1}\n",
                              "",
                              0,
                              {"lookup nodesc", "send nodesc 5f4e5446", "send nodesc 1"},
                              Sent{"nodesc", 1, cat({kToken, i32(1), i32(2)}), 0}},
                         });
    // nodesc echoes the request after the code, which reads as the sum 1.
    expectRows("invoke", {
                             {{"--interface", path, "nodesc", "add", "1", "2"},
                              "{\"sum\": 1}\n",
                              "",
                              0,
                              {"lookup nodesc", "send nodesc 5f4e5446", "send nodesc 1"},
                              Sent{"nodesc", 1, cat({kToken, i32(1), i32(2)}), 0}},
                             {{"--interface", path, "--raw", "adder", "add", "1", "2"},
                              "Result: Parcel(4 bytes)\n  00000000: 0000002a" +
                                  std::string(29, ' ') + "*...\n",
                              "",
                              0,
                              {"lookup adder", "send adder 5f4e5446", "send adder 1"},
                              Sent{"adder", 1, cat({kToken, i32(1), i32(2)}), 0}},
                             {{"--interface", path, "nodesc", "add", "1"},
                              "",
                              "zorlek: No value for argument 'b' (i32) of add\n",
                              10,
                              descriptor,
                              {}},
                         });
}

}  // namespace
}  // namespace zorlek::test
