// SPDX-License-Identifier: Apache-2.0
// LocalObject in one process: the base answers the descriptor query and refuses other
// codes; a subclass falls back to it; sendTransaction gives onTransact its own rewound
// copy of the request and empties the reply after a failure.

#include <gtest/gtest.h>

#include "platform/base/call_context.h"
#include "platform/hosting/local_object.h"
#include "tests/platform/socket_helpers.h"

namespace zorlek::test {
namespace {

Bytes parcelBytes(const Parcel& p) {
    return bytesOf(p.data(), p.dataSize());
}

Bytes stringItem(const String16& text) {
    Parcel p;
    p.writeString16(text);
    return parcelBytes(p);
}

// Code 1 sums two integers; code 2 writes something, then fails; code 3 withholds its
// reply; code 4 ignores a write that passes the size limit; code 5 answers who called;
// everything else goes to the base.
class Calculator : public LocalObject {
  public:
    Calculator() : LocalObject(String16("test.ICalculator")) {}
    status_t onTransact(uint32_t code, Parcel& data, Parcel* reply, uint32_t flags) override {
        ++calls;
        lastDataPosition = data.dataPosition();
        switch (code) {
            case 1: {
                int32_t a = 0, b = 0;
                if (data.readInt32(&a) != OK || data.readInt32(&b) != OK) return -EBADMSG;
                return reply->writeInt32(a + b);
            }
            case 2:
                reply->writeInt32(123);
                return -EIO;
            case 3:
                withholdReply();
                return OK;
            case 4:
                reply->writeInt32(1);
                reply->writeString16(String16(std::u16string(kMaxParcelSize / 2, u'x')));
                reply->writeInt32(2);
                return OK;
            case 5:
                reply->writeInt32(static_cast<int32_t>(callingUid()));
                return reply->writeInt32(static_cast<int32_t>(callingPid()));
            default:
                return LocalObject::onTransact(code, data, reply, flags);
        }
    }
    int calls = 0;
    size_t lastDataPosition = 99;
};

TEST(LocalObject, BaseAnswersTheDescriptorQuery) {
    for (const char* descriptor : {"zorlek.IThing", ""}) {
        sp<LocalObject> object = make<LocalObject>(String16(descriptor));
        Parcel reply;
        EXPECT_EQ(object->sendTransaction(DESCRIPTOR_QUERY_CODE, Parcel(), &reply, 0), OK);
        EXPECT_EQ(parcelBytes(reply), stringItem(String16(descriptor))) << descriptor;
        EXPECT_EQ(reply.dataPosition(), 0u);
        EXPECT_EQ(object->descriptor(), String16(descriptor));
    }
}

TEST(LocalObject, BaseAnswersTheInterfaceQueryOnlyWithADescription) {
    const String16 description(u"interface zorlek.IThing;\n");
    struct Row {
        String16 description;
        uint32_t code;
        status_t status;
        Bytes reply;
    } rows[] = {
        {description, INTERFACE_QUERY_CODE, OK, stringItem(description)},
        // The descriptor query is as it was, with or without a description.
        {description, DESCRIPTOR_QUERY_CODE, OK, stringItem(String16("zorlek.IThing"))},
        // No description: the query is a code like any the object does not handle.
        {String16(), INTERFACE_QUERY_CODE, -EBADRQC, {}},
        {description, INTERFACE_QUERY_CODE + 1, -EBADRQC, {}},
    };
    for (const Row& row : rows) {
        sp<LocalObject> object = make<LocalObject>(String16("zorlek.IThing"), row.description);
        Parcel reply;
        EXPECT_EQ(object->sendTransaction(row.code, Parcel(), &reply, 0), row.status) << row.code;
        EXPECT_EQ(parcelBytes(reply), row.reply) << row.code;
        EXPECT_EQ(object->description(), row.description);
    }
    // A subclass that falls back to the base answers it the same.
    sp<Calculator> calculator = make<Calculator>();
    Parcel reply;
    EXPECT_EQ(calculator->sendTransaction(INTERFACE_QUERY_CODE, Parcel(), &reply, 0), -EBADRQC);
}

TEST(LocalObject, BaseRefusesOtherCodesWithAnEmptyReply) {
    sp<LocalObject> object = make<LocalObject>(String16("zorlek.IThing"));
    for (uint32_t code : {0u, 1u, DESCRIPTOR_QUERY_CODE + 1, 0xFFFFFFFFu}) {
        Parcel reply;
        reply.writeInt32(5);  // must not survive the failure
        EXPECT_EQ(object->sendTransaction(code, Parcel(), &reply, 0), -EBADRQC) << code;
        EXPECT_EQ(reply.dataSize(), 0u) << code;
    }
}

TEST(LocalObject, SubclassHandlesItsCodesAndFallsBack) {
    sp<Calculator> object = make<Calculator>();
    Parcel request;
    request.writeInt32(40);
    request.writeInt32(2);
    // The caller's read position does not leak into the call.
    int32_t skipped;
    ASSERT_EQ(request.readInt32(&skipped), OK);
    Parcel reply;
    ASSERT_EQ(object->sendTransaction(1, request, &reply, 0), OK);
    EXPECT_EQ(object->lastDataPosition, 0u);
    int32_t sum = 0;
    ASSERT_EQ(reply.readInt32(&sum), OK);
    EXPECT_EQ(sum, 42);

    reply.clear();
    EXPECT_EQ(object->sendTransaction(DESCRIPTOR_QUERY_CODE, Parcel(), &reply, 0), OK);
    EXPECT_EQ(parcelBytes(reply), stringItem(String16("test.ICalculator")));
    EXPECT_EQ(object->sendTransaction(77, Parcel(), &reply, 0), -EBADRQC);
    EXPECT_EQ(reply.dataSize(), 0u);
}

TEST(LocalObject, FailureEmptiesWhatTheObjectWrote) {
    sp<Calculator> object = make<Calculator>();
    Parcel reply;
    EXPECT_EQ(object->sendTransaction(2, Parcel(), &reply, 0), -EIO);
    EXPECT_EQ(reply.dataSize(), 0u);
    // A malformed request is the object's own failure, with the same rule.
    Parcel shortRequest;
    shortRequest.writeInt32(1);
    EXPECT_EQ(object->sendTransaction(1, shortRequest, &reply, 0), -EBADMSG);
    EXPECT_EQ(reply.dataSize(), 0u);
}

TEST(LocalObject, OneWayCallsRunAndReturnNothing) {
    sp<Calculator> object = make<Calculator>();
    Parcel request;
    request.writeInt32(1);
    request.writeInt32(2);
    Parcel reply;
    EXPECT_EQ(object->sendTransaction(1, request, &reply, FLAG_ONEWAY), OK);
    EXPECT_EQ(object->calls, 1);
    EXPECT_EQ(reply.dataSize(), 0u);
    EXPECT_EQ(object->sendTransaction(2, request, nullptr, FLAG_ONEWAY), OK);
    EXPECT_EQ(object->calls, 2);
}

TEST(LocalObject, AWithheldReplyLooksLikeATimeout) {
    sp<Calculator> object = make<Calculator>();
    Parcel reply;
    EXPECT_EQ(object->sendTransaction(3, Parcel(), &reply, 0), -ETIMEDOUT);
    EXPECT_EQ(reply.dataSize(), 0u);
    EXPECT_EQ(currentCall(), nullptr) << "the call's context ends with it";
    // The next call is answered normally.
    EXPECT_EQ(object->sendTransaction(DESCRIPTOR_QUERY_CODE, Parcel(), &reply, 0), OK);
}

TEST(LocalObject, AReplyThatFailedToBuildIsThatFailureNeverAShortReply) {
    sp<Calculator> object = make<Calculator>();
    Parcel reply;
    EXPECT_EQ(object->sendTransaction(4, Parcel(), &reply, 0), -EMSGSIZE);
    EXPECT_EQ(reply.dataSize(), 0u);
    EXPECT_EQ(reply.status(), OK);
}

TEST(LocalObject, ACallFromThisProcessComesFromThisProcess) {
    sp<Calculator> object = make<Calculator>();
    Parcel reply;
    ASSERT_EQ(object->sendTransaction(5, Parcel(), &reply, 0), OK);
    int32_t uid = -1, pid = -1;
    ASSERT_EQ(reply.readInt32(&uid), OK);
    ASSERT_EQ(reply.readInt32(&pid), OK);
    EXPECT_EQ(uid, static_cast<int32_t>(getuid()));
    EXPECT_EQ(pid, static_cast<int32_t>(getpid()));
}

TEST(LocalObject, ReplyMayBeNull) {
    sp<Calculator> object = make<Calculator>();
    EXPECT_EQ(object->sendTransaction(DESCRIPTOR_QUERY_CODE, Parcel(), nullptr, 0), OK);
    EXPECT_EQ(object->sendTransaction(2, Parcel(), nullptr, 0), -EIO);
}

}  // namespace
}  // namespace zorlek::test
