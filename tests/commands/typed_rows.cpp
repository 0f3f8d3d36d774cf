// SPDX-License-Identifier: Apache-2.0
#include "tests/commands/typed_rows.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>

namespace zorlek::test {

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
const std::u16string kObjects =
    u"interface s.IAdder;\n"
    u"method pass(l: s.IListener, n: i32) -> (back: s.IListener, count: i32) = 1;\n"
    u"interface s.IListener;\n"
    u"/// Told.\n"
    u"oneway method tick(n: i64) = 1;\n";
const std::string kObjectsCanonical =
    "interface s.IAdder;\n\n"
    "method pass(l: s.IListener, n: i32) -> (back: s.IListener, count: i32) = 1;\n\n"
    "interface s.IListener;\n\n"
    "/// Told.\n"
    "oneway method tick(n: i64) = 1;\n";

ObjectScript describing(std::u16string description, Bytes callReply) {
    ObjectScript script = describedAs(u"s.IAdder");
    script.interfaceStatus = OK;
    script.interfaceReply = s16(description);
    script.callReply = std::move(callReply);
    return script;
}

namespace {

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
    registry->add("objects", describing(kObjects, cat({i32(0), i32(0), i32(3)})));
    registry->add("other", describedAs(u"x.IOther"));
    registry->add("blank", describedAs(u""));
    ObjectScript refuses;
    refuses.queryStatus = -EBADRQC;
    registry->add("refuses", refuses);
    // A record of one field under a long name, and a reply of 2,000 of them: the names are
    // written again for every record.
    Bytes records = i32(2000);
    for (int i = 0; i < 2000; ++i) records = cat({records, i32(7)});
    registry->add("longnames",
                  describing(u"interface s.IAdder;\nrecord R { " + std::u16string(40000, u'n') +
                                 u": i32; }\nmethod add() -> (r: R[]) = 1;\n",
                             records));
    return registry;
}

}  // namespace

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

std::vector<std::string> asked(const std::string& name, const char* query) {
    return {"lookup " + name, "send " + name + " " + query};
}

std::vector<std::string> called(const std::string& name, const std::string& code) {
    return {"lookup " + name, "send " + name + " 5f494446", "send " + name + " " + code};
}

DescriptionFile::DescriptionFile(const std::string& text) {
    char pattern[] = "/tmp/zorlek-typed-XXXXXX";
    dir_ = mkdtemp(pattern) != nullptr ? pattern : "/tmp";
    path_ = dir_ + "/adder.zi";
    int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ::close(fd);
}

DescriptionFile::~DescriptionFile() {
    ::unlink(path_.c_str());
    ::rmdir(dir_.c_str());
}

}  // namespace zorlek::test
