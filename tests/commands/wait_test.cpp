// SPDX-License-Identifier: Apache-2.0
// `zorlek wait`'s command line, in-process: every wrong one is refused with its line and
// the usage text before anything is asked of any registry.
#include <gtest/gtest.h>

#include "tests/commands/fakes.h"

namespace zorlek::test {
namespace {

TEST(Wait, AWrongCommandLineIsRefusedBeforeAnythingIsAsked) {
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const Case cases[] = {
        {{"wait"}, "zorlek: No service specified for wait\n"},
        {{"wait", "--gone"}, "zorlek: No service specified for wait\n"},
        {{"wait", "--timeout", "5", "--"}, "zorlek: No service specified for wait\n"},
        {{"wait", "--timeout"}, "zorlek: No timeout specified for --timeout of wait\n"},
        {{"wait", "--timeout", "x", "a"}, "zorlek: invalid timeout: x\n"},
        {{"wait", "--timeout", "-1", "a"}, "zorlek: invalid timeout: -1\n"},
        {{"wait", "--timeout", "1.", "a"}, "zorlek: invalid timeout: 1.\n"},
        {{"wait", "--timeout", ".5", "a"}, "zorlek: invalid timeout: .5\n"},
        {{"wait", "--timeout", "2147484", "a"}, "zorlek: invalid timeout: 2147484\n"},
        {{"wait", "--timeout", "1e3", "a"}, "zorlek: invalid timeout: 1e3\n"},
        {{"wait", "--later", "a"}, "zorlek: Unknown option --later of wait\n"},
        {{"wait", "-t", "a"}, "zorlek: Unknown option -t of wait\n"},
        // An option after a name is out of place, never a name.
        {{"wait", "a", "--timeout", "1"},
         "zorlek: Options of wait come before SERVICE: --timeout\n"},
        {{"wait", "--gone", "a", "-b"}, "zorlek: Options of wait come before SERVICE: -b\n"},
    };
    for (const Case& c : cases) {
        Journal journal;
        sp<FakeRegistry> registry(new FakeRegistry(&journal));
        Outcome got = runTool(registry, c.args);
        EXPECT_EQ(got.out, kUsage) << c.err;
        EXPECT_EQ(got.err, c.err);
        EXPECT_EQ(got.status, 10) << c.err;
        EXPECT_TRUE(journal.events.empty()) << c.err;
    }
}

}  // namespace
}  // namespace zorlek::test
