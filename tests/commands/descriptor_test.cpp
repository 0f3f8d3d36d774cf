// SPDX-License-Identifier: Apache-2.0
// The descriptor query: what is sent, and which answers count as a descriptor.

#include <gtest/gtest.h>

#include <cerrno>

#include "commands/descriptor.h"
#include "tests/commands/fakes.h"

namespace zorlek::test {
namespace {

TEST(FetchInterfaceDescriptor, NullObjectGivesEmptyWithoutSending) {
    EXPECT_EQ(fetchInterfaceDescriptor(nullptr), String16());
}

TEST(FetchInterfaceDescriptor, SendsAnEmptyTwoWayQuery) {
    Journal journal;
    sp<IBinder> object(new FakeObject("svc", describedAs(u"x.IFoo"), &journal));
    int32_t before = object->strongCount();
    EXPECT_EQ(fetchInterfaceDescriptor(object), String16(std::u16string(u"x.IFoo")));
    EXPECT_EQ(object->strongCount(), before);
    ASSERT_EQ(journal.sent.size(), 1u);
    EXPECT_EQ(journal.sent[0], (Sent{"svc", 0x5F4E5446, {}, 0}));
}

struct AnswerCase {
    const char* what;
    status_t status;
    Bytes reply;
    std::u16string descriptor;
};

TEST(FetchInterfaceDescriptor, OnlyAStatusZeroReplyWithAStringCounts) {
    const AnswerCase cases[] = {
        {"plain", OK, s16(u"zorlek.IEcho"), u"zorlek.IEcho"},
        {"first item only", OK, cat({s16(u"a.B"), s16(u"c.D")}), u"a.B"},
        {"not ASCII", OK, s16(u"\xE9\xD83D\xDE00"), u"\xE9\xD83D\xDE00"},
        {"empty string", OK, s16(u""), u""},
        {"null string", OK, i32(0xFFFFFFFF), u""},
        {"empty reply", OK, {}, u""},
        {"length past the end", OK, i32(100), u""},
        {"missing terminator", OK, cat({i32(1), i32(0x00410041)}), u""},
        {"negative length", OK, cat({i32(0xFFFFFFFE), i32(0)}), u""},
        {"unhandled code, reply still holds a string", -EBADRQC, s16(u"zorlek.IEcho"), u""},
        {"timed out", -ETIMEDOUT, s16(u"zorlek.IEcho"), u""},
        {"positive status", 5, s16(u"zorlek.IEcho"), u""},
    };
    for (const AnswerCase& c : cases) {
        Journal journal;
        ObjectScript script;
        script.queryStatus = c.status;
        script.queryReply = c.reply;
        sp<IBinder> object(new FakeObject("svc", script, &journal));
        EXPECT_EQ(fetchInterfaceDescriptor(object), String16(c.descriptor)) << c.what;
        EXPECT_EQ(journal.sent.size(), 1u) << c.what;
    }
}

}  // namespace
}  // namespace zorlek::test
