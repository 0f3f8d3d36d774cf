// SPDX-License-Identifier: Apache-2.0
// describe and invoke through the driver against an in-memory registry: whole outputs,
// exit statuses, and exactly what was asked and sent (or that the call was not), for
// services that describe themselves, that do not, that describe themselves wrongly or
// answer wrongly, and for descriptions given in a file.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "tests/commands/fakes.h"

namespace zorlek::test {
namespace {

const std::u16string kAdder =
    u"/// Adds.\n"
    u"interface s.IAdder;\n"
    u"method add(a: i32, b: i32) -> (sum: i32) = 1;\n"
    u"oneway method ping() = 2;\n"
    u"method text(s: s16?) = 3;\n";
const std::string kAdderCanonical =
    "/// Adds.\n"
    "interface s.IAdder;\n"
    "\n"
    "method add(a: i32, b: i32) -> (sum: i32) = 1;\n"
    "\n"
    "oneway method ping() = 2;\n"
    "\n"
    "method text(s: s16?) = 3;\n";
const Bytes kToken = s16(u"s.IAdder");

ObjectScript describing(std::u16string description, Bytes callReply = i32(42)) {
    ObjectScript script = describedAs(u"s.IAdder");
    script.interfaceStatus = OK;
    script.interfaceReply = s16(description);
    script.callReply = std::move(callReply);
    return script;
}

ObjectScript interfaceAnswer(status_t status, Bytes reply) {
    ObjectScript script = describedAs(u"s.IAdder");
    script.interfaceStatus = status;
    script.interfaceReply = std::move(reply);
    return script;
}

sp<FakeRegistry> typedRegistry(Journal* journal) {
    sp<FakeRegistry> registry(new FakeRegistry(journal));
    registry->add("adder", describing(kAdder));
    registry->add("gone", std::nullopt);
    registry->add("nodesc", describedAs(u"s.IAdder"));
    registry->add("blankdesc", interfaceAnswer(OK, s16(u"")));
    registry->add("silent", interfaceAnswer(-ETIMEDOUT, {}));
    registry->add("positive", interfaceAnswer(3, {}));
    registry->add("garbled", interfaceAnswer(OK, i32(0x7FFFFFFF)));
    registry->add("wrong", describing(u"interface s.IAdder;\nmethod add( = 1;"));
    ObjectScript failing = describing(kAdder);
    failing.callStatus = -EINVAL;
    registry->add("failing", failing);
    registry->add("broken", describing(kAdder, {}));
    registry->add("hostile", describing(u"/// \x1B[31m red \x202E"
                                        u"evil \xD800\ninterface h.I;\n"
                                        u"method m() -> (t: s16, u: s16?) = 5;\n",
                                        cat({s16(u"\x1B[2J\xD800\"\n"), i32(0xFFFFFFFF)})));
    registry->add("other", describedAs(u"x.IOther"));
    registry->add("blank", describedAs(u""));
    ObjectScript refuses;
    refuses.queryStatus = -EBADRQC;
    registry->add("refuses", refuses);
    return registry;
}

struct Row {
    std::vector<std::string> args;
    std::string out;
    std::string err;
    int32_t status;
    // Lookups and transactions, in order.
    std::vector<std::string> events;
    // The method's transaction, when one is sent (always the last).
    std::optional<Sent> sent;
};

void expectRows(const std::string& command, const std::vector<Row>& rows) {
    for (const Row& row : rows) {
        Journal journal;
        std::vector<std::string> args = {command};
        args.insert(args.end(), row.args.begin(), row.args.end());
        std::string label;
        for (const std::string& a : args) label.append("[").append(a, 0, 60).append("]");
        Outcome got = runTool(typedRegistry(&journal), args);
        EXPECT_EQ(got.out, row.out) << label;
        EXPECT_EQ(got.err, row.err) << label;
        EXPECT_EQ(got.status, row.status) << label;
        EXPECT_EQ(journal.events, row.events) << label;
        if (row.sent) {
            ASSERT_FALSE(journal.sent.empty()) << label;
            EXPECT_EQ(journal.sent.back(), *row.sent)
                << label << "\n got: " << hex(journal.sent.back().bytes)
                << "\nwant: " << hex(row.sent->bytes);
        }
        EXPECT_EQ(journal.liveObjects, 0) << label;
    }
}

std::vector<std::string> asked(const std::string& name, const char* query = "5f494446") {
    return {"lookup " + name, "send " + name + " " + query};
}

std::vector<std::string> called(const std::string& name, const std::string& code) {
    return {"lookup " + name, "send " + name + " 5f494446", "send " + name + " " + code};
}

// A description file in a folder of its own, removed at the end.
class DescriptionFile {
  public:
    explicit DescriptionFile(const std::string& text) {
        char pattern[] = "/tmp/zorlek-typed-XXXXXX";
        dir_ = mkdtemp(pattern) != nullptr ? pattern : "/tmp";
        path_ = dir_ + "/adder.zi";
        int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        ::close(fd);
    }
    ~DescriptionFile() {
        ::unlink(path_.c_str());
        ::rmdir(dir_.c_str());
    }
    const std::string& path() const { return path_; }

  private:
    std::string dir_;
    std::string path_;
};

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
            {{"adder", "text", "null"},
             "{}\n",
             "",
             0,
             called("adder", "3"),
             Sent{"adder", 3, cat({kToken, i32(0xFFFFFFFF)}), 0}},
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
            // A request too large to build is refused whole, as call refuses it.
            {{"adder", "text", big},
             "",
             "zorlek: Transaction failed with status -90 (Message too long)\n",
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
            {{"--raw", "broken", "add", "1", "2"},
             "Result: Parcel(0 bytes)\n",
             "",
             0,
             called("broken", "1"),
             {}},
        });
}

TEST(Describe, PrintsTheCanonicalDescriptionEscaped) {
    expectRows(
        "describe",
        {
            {{"adder"}, kAdderCanonical, "", 0, asked("adder"), {}},
            {{"--", "adder"}, kAdderCanonical, "", 0, asked("adder"), {}},
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
