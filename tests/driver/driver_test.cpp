// SPDX-License-Identifier: Apache-2.0
// The driver in-process: options, dispatch, usage text and exit statuses against a
// registry that only records what it was asked.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/driver.h"
#include "platform/text.h"
#include "tests/commands/fakes.h"

namespace zorlek {
namespace {

using test::kUsage;
using test::Outcome;
using test::runTool;

// An empty registry that counts the questions put to it.
class RecordingRegistry : public ServiceManager {
  public:
    sp<IBinder> lookupService(const String16&) override {
        ++lookups;
        return nullptr;
    }
    Vector<String16> listServiceNames() override {
        ++listings;
        return {};
    }
    int lookups = 0;
    int listings = 0;
};

struct Case {
    std::vector<std::string> args;
    std::string out;
    std::string err;
    int32_t status;
    int lookups;
    int listings;
};

TEST(Driver, OptionsDispatchAndStatusesFollowTheTable) {
    const std::string noService = "zorlek: No service specified for check\n";
    const Case cases[] = {
        {{}, kUsage, "", 0, 0, 0},
        {{"-h"}, kUsage, "", 0, 0, 0},
        {{"-?"}, kUsage, "", 0, 0, 0},
        {{"-h", "list"}, kUsage, "", 0, 0, 0},
        {{"-hh", "check", "x"}, kUsage, "", 0, 0, 0},
        {{"--", "list"}, "Found 0 services:\n", "", 0, 0, 1},
        {{"list", "extra", "-h"}, "Found 0 services:\n", "", 0, 0, 1},
        {{"--"}, kUsage, "", 0, 0, 0},
        {{"List"}, kUsage, "zorlek: Unknown command List\n", 10, 0, 0},
        {{"lis"}, kUsage, "zorlek: Unknown command lis\n", 10, 0, 0},
        {{""}, kUsage, "zorlek: Unknown command \n", 10, 0, 0},
        {{"check"}, kUsage, noService, 10, 0, 0},
        {{"check", "x", "-h"}, "Service x: not found\n", "", 0, 1, 0},
        // Arguments are never reordered: an option after the command word is a word.
        {{"check", "-h"}, "Service -h: not found\n", "", 0, 1, 0},
    };
    for (const Case& c : cases) {
        std::string label;
        for (const std::string& a : c.args) label += "[" + a + "]";
        sp<RecordingRegistry> registry(new RecordingRegistry());
        Outcome got = runTool(registry, c.args);
        EXPECT_EQ(got.out, c.out) << label;
        EXPECT_EQ(got.err, c.err) << label;
        EXPECT_EQ(got.status, c.status) << label;
        EXPECT_EQ(registry->lookups, c.lookups) << label;
        EXPECT_EQ(registry->listings, c.listings) << label;
    }
}

TEST(Driver, NoRegistryIsStatus20WithOneLineAndNoUsage) {
    for (std::vector<std::string> args :
         {std::vector<std::string>{}, {"-h"}, {"list"}, {"-x"}, {"Nonsense"}}) {
        Outcome got = runTool(nullptr, args);
        EXPECT_EQ(got.out, "");
        EXPECT_EQ(got.err, "zorlek: Unable to get default service manager!\n");
        EXPECT_EQ(got.status, 20);
    }
}

TEST(Driver, HelpAndVersionAskTheRegistryNothingAndTakeNoArguments) {
    for (std::vector<std::string> args :
         {std::vector<std::string>{"help"}, {"help", "list"}, {"version"}, {"version", "-h"}}) {
        sp<RecordingRegistry> registry(new RecordingRegistry());
        Outcome got = runTool(registry, args);
        // A word after them is refused with the usage text.
        bool extra = args.size() > 1;
        EXPECT_EQ(got.status, extra ? 10 : 0) << args[0];
        EXPECT_EQ(got.err,
                  extra ? "zorlek: Too many arguments for " + args[0] + ": " + args[1] + "\n" : "")
            << args[0];
        EXPECT_EQ(got.out.rfind(args[0] == "help" || extra ? kUsage : "zorlek ", 0), 0u) << got.out;
        EXPECT_EQ(registry->lookups + registry->listings, 0) << args[0];
    }
}

TEST(Driver, ReleasesTheRegistryAtTheEnd) {
    sp<RecordingRegistry> registry(new RecordingRegistry());
    runTool(registry, {"list"});
    runTool(registry, {"List"});
    EXPECT_EQ(registry->strongCount(), 1);
}

}  // namespace
}  // namespace zorlek
