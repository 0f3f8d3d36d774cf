// SPDX-License-Identifier: Apache-2.0
// The classes zorlek-idl generates, in one process: every type through a proxy and a
// service; a service that refuses malformed requests and answers the two queries; a proxy
// that refuses malformed replies and never sends a request it could not build.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "idl/generator.h"
#include "idl/parser.h"
#include "objects.zi.h"
#include "tests/idl/every_type_calls.h"
#include "tests/idl/every_type_service.h"
#include "tests/support/bytes.h"
#include "ticker.zi.h"

namespace zorlek::test {
namespace {

namespace every = ::test::IEveryType;

TEST(GeneratedCode, EveryTypeRoundTripsThroughAProxyAndAService) {
    EveryTypeProxy proxy(make<EveryType>());
    expectEveryTypeRoundTrips(proxy);
}

// The status and reply of one request sent to a generated service.
status_t send(uint32_t code, const Bytes& request, Bytes* reply = nullptr) {
    sp<EveryType> service = make<EveryType>();
    Parcel data, answer;
    data.setData(request.data(), request.size());
    status_t status = service->sendTransaction(code, data, &answer, 0);
    if (reply != nullptr) *reply = bytesOf(answer);
    return status;
}

TEST(GeneratedCode, TheServiceRefusesMalformedRequests) {
    const Bytes token = s16(u"test.IEveryType");
    struct Row {
        const char* what;
        uint32_t code;
        Bytes request;
        status_t status;
    } rows[] = {
        {"well formed", 1, cat({token, i32(7)}), OK},
        {"no token", 1, i32(7), -EBADMSG},
        {"another interface's token", 1, cat({s16(u"test.IOther"), i32(7)}), -EBADMSG},
        {"an argument missing", 1, token, -EBADMSG},
        {"half an i64", 2, cat({token, i32(7)}), -EBADMSG},
        {"bytes after the arguments", 1, cat({token, i32(7), i32(8)}), -EBADMSG},
        {"a bool of 2", 3, cat({token, i32(2)}), -EBADMSG},
        {"a null s16", 4, cat({token, i32(0xFFFFFFFF)}), -EBADMSG},
        {"a null s16?", 5, cat({token, i32(0xFFFFFFFF)}), OK},
        {"bytes past the end", 6, cat({token, i32(5), i32(0)}), -EBADMSG},
        {"a count past the end", 8, cat({token, i32(1), s16(u""), i32(1000)}), -EBADMSG},
        {"a negative count", 8, cat({token, i32(1), s16(u""), i32(0xFFFFFFFF)}), -EBADMSG},
        {"a one-way call, malformed", 10, token, -EBADMSG},
        {"a code of no method", 13, token, -EBADRQC},
    };
    for (const Row& row : rows) EXPECT_EQ(send(row.code, row.request), row.status) << row.what;
}

TEST(GeneratedCode, TheServiceAnswersBothQueries) {
    Bytes reply;
    EXPECT_EQ(send(DESCRIPTOR_QUERY_CODE, {}, &reply), OK);
    EXPECT_EQ(reply, s16(u"test.IEveryType"));
    EXPECT_EQ(send(INTERFACE_QUERY_CODE, {}, &reply), OK);
    EXPECT_EQ(reply, s16(every::kDescription));
    // The reply of a method that failed is empty, whatever it set.
    EXPECT_EQ(send(9, cat({s16(u"test.IEveryType"), i32(static_cast<uint32_t>(-EIO))}), &reply),
              -EIO);
    EXPECT_EQ(reply, Bytes());
}

// Answers every call with a scripted status and reply, and counts the calls.
class Scripted : public IBinder {
  public:
    Scripted(status_t status, Bytes reply) : status_(status), reply_(std::move(reply)) {}
    status_t sendTransaction(uint32_t, const Parcel&, Parcel* reply, uint32_t) override {
        ++calls;
        if (reply != nullptr && status_ == OK) reply->setData(reply_.data(), reply_.size());
        return status_;
    }
    int calls = 0;

  private:
    status_t status_;
    Bytes reply_;
};

TEST(GeneratedCode, TheProxyRefusesMalformedReplies) {
    struct Row {
        const char* what;
        status_t status;
        Bytes reply;
        status_t result;
    } rows[] = {
        {"the reply", OK, cat({i32(1), i32(1), i32(2), s16(u"b"), i32(3)}), OK},
        {"and a field a newer service appended", OK,
         cat({i32(1), i32(1), i32(2), s16(u"b"), i32(3), s16(u"new")}), OK},
        {"a field missing", OK, cat({i32(0), s16(u"b")}), -EBADMSG},
        {"a record cut short", OK, cat({i32(1), i32(5)}), -EBADMSG},
        {"nothing", OK, {}, -EBADMSG},
        {"a failure", -ETIMEDOUT, {}, -ETIMEDOUT},
        {"the service's own status", 42, {}, 42},
    };
    for (const Row& row : rows) {
        sp<Scripted> object = make<Scripted>(row.status, row.reply);
        EveryTypeProxy proxy(object);
        std::vector<every::Point> z;
        String16 y(u"y");
        int32_t x = -1;
        EXPECT_EQ(proxy.reverse(0, String16(), {}, &z, &y, &x), row.result) << row.what;
        if (row.result != OK) {
            // Nothing is set unless all was read.
            EXPECT_TRUE(z.empty() && y == String16(u"y") && x == -1) << row.what;
        }
    }
}

TEST(GeneratedCode, TheProxyNeverSendsARequestItCouldNotBuild) {
    sp<Scripted> object = make<Scripted>(OK, Bytes());
    EveryTypeProxy proxy(object);
    String16 tooLong(std::u16string(kMaxParcelSize / 2, u'x'));
    EXPECT_EQ(proxy.echoS16(tooLong, nullptr), -EMSGSIZE);
    EXPECT_EQ(object->calls, 0);
    EveryTypeProxy none(nullptr);
    EXPECT_EQ(none.nothing(), -ENOENT);
}

// test.IObjects: remembers what it was given, and hands the first object back.
class Objects : public ::test::IObjects::Service {
  public:
    status_t pass(const sp<IBinder>& first, int32_t n, const sp<IBinder>& second, sp<IBinder>* back,
                  int32_t* count) override {
        *back = first;
        *count = n + (second ? 1 : 0);
        return OK;
    }
    status_t drop(const sp<IBinder>& gone) override {
        dropped = gone == nullptr ? 1 : 2;
        return OK;
    }
    int dropped = 0;
};

// test.IListener: sees n as n + 1.
class Listener : public ::test::IListener::Service {
  public:
    status_t heard(int32_t n, int32_t* seen) override {
        *seen = n + 1;
        return OK;
    }
};

TEST(GeneratedCode, ObjectsTravelAsReferencesThatProxiesWrap) {
    sp<Objects> service = make<Objects>();
    ::test::IObjects::Proxy proxy(service);
    sp<IBinder> back = service;
    int32_t count = 0;
    ASSERT_EQ(proxy.pass(nullptr, 4, nullptr, &back, &count), OK);
    EXPECT_EQ(back, nullptr);
    EXPECT_EQ(count, 4);
    EXPECT_EQ(proxy.drop(nullptr), OK);
    EXPECT_EQ(service->dropped, 1);
    // A receiver wraps what it got in the interface's proxy; a null one fails every call.
    ::test::IListener::Proxy listener(back);
    EXPECT_EQ(listener.heard(1, nullptr), -ENOENT);
    // A non-null object goes as the same object, and comes back so; wrapped in its
    // interface's proxy, calls reach it.
    sp<Listener> heard = make<Listener>();
    ASSERT_EQ(proxy.pass(heard, 1, service, &back, &count), OK);
    EXPECT_EQ(back, sp<IBinder>(heard));
    EXPECT_EQ(count, 2);
    int32_t seen = 0;
    EXPECT_EQ(::test::IListener::Proxy(back).heard(7, &seen), OK);
    EXPECT_EQ(seen, 8);
    EXPECT_EQ(proxy.drop(service), OK);
    EXPECT_EQ(service->dropped, 2);
}

TEST(GeneratedCode, ReferencesAreCheckedLikeEveryOtherValue) {
    const Bytes token = s16(u"test.IObjects");
    const Bytes none = cat({i32(0), i32(0)});
    struct Row {
        const char* what;
        uint32_t code;
        Bytes request;
        status_t status;
    } rows[] = {
        {"two null references", 1, cat({token, none, i32(1), none}), OK},
        {"one-way, null", 2, cat({token, none}), OK},
        {"half a reference", 2, cat({token, i32(0)}), -EBADMSG},
        {"no reference", 2, token, -EBADMSG},
        {"a reference this parcel cannot hold", 2, cat({token, i32(0x7A7A7A7A), i32(1)}), -EBADMSG},
        {"the second missing", 1, cat({token, none, i32(1)}), -EBADMSG},
        {"bytes after the arguments", 1, cat({token, none, i32(1), none, i32(0)}), -EBADMSG},
    };
    for (const Row& row : rows) {
        sp<Objects> service = make<Objects>();
        Parcel data, answer;
        data.setData(row.request.data(), row.request.size());
        EXPECT_EQ(service->sendTransaction(row.code, data, &answer, 0), row.status) << row.what;
        if (row.status == OK && row.code == 1) {
            EXPECT_EQ(bytesOf(answer), cat({none, i32(1)}));
        }
    }
    // Replies, through the proxy: a reference cut short is a malformed reply.
    struct Reply {
        Bytes reply;
        status_t result;
    } replies[] = {
        {cat({none, i32(3)}), OK},
        {cat({i32(0), i32(0)}), -EBADMSG},
        {cat({i32(0)}), -EBADMSG},
        {{}, -EBADMSG},
    };
    for (const Reply& reply : replies) {
        ::test::IObjects::Proxy proxy(make<Scripted>(OK, reply.reply));
        int32_t count = -1;
        EXPECT_EQ(proxy.pass(nullptr, 0, nullptr, nullptr, &count), reply.result);
        EXPECT_EQ(count, reply.result == OK ? 3 : -1);
    }
}

TEST(GeneratedCode, EachInterfaceOfAFileAnswersItsOwnDescriptionFirst) {
    idl::ParseError error;
    for (const char16_t* description :
         {::sample::ITicker::kDescription, ::sample::ITickListener::kDescription,
          ::test::IObjects::kDescription}) {
        std::optional<idl::Description> parsed = idl::parseDescription(description, &error);
        ASSERT_TRUE(parsed) << error.why.c_str();
        EXPECT_EQ(parsed->interfaces.size(), 2u);
    }
    EXPECT_EQ(idl::parseDescription(::sample::ITicker::kDescription, &error)->interfaces[0].name,
              "sample.ITicker");
    EXPECT_EQ(
        idl::parseDescription(::sample::ITickListener::kDescription, &error)->interfaces[0].name,
        "sample.ITickListener");
    EXPECT_EQ(std::u16string(::sample::ITicker::kDescriptor), u"sample.ITicker");
}

// The lines of the header generated from `text` read from `source`.
std::vector<std::string> headerLines(const std::u16string& text, const std::string& source) {
    idl::ParseError error;
    std::optional<idl::Description> parsed = idl::parseDescription(text, &error);
    EXPECT_TRUE(parsed) << error.line << ": " << error.why.c_str();
    if (!parsed) return {};
    std::string header = idl::generateHeader(*parsed, source);
    std::vector<std::string> lines;
    for (size_t start = 0; start < header.size();) {
        size_t end = header.find('\n', start);
        if (end == std::string::npos) end = header.size();
        lines.push_back(header.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

TEST(GeneratedCode, NoTextCopiedIntoTheHeaderBecomesCodeOrJoinsLines) {
    const std::u16string body = u"interface a.IThing;\nrecord R { before: i32; after: i32; }\n";
    const std::u16string docs[] = {
        u"a backslash \\",
        u"a backslash and spaces \\  ",
        u"a backslash, a space and a NUL \\ " + std::u16string(1, u'\0'),
        u"a trigraph ?\?/",
        u"a trigraph and a space ?\?/ ",
        u"a line\u2028break and a\rreturn",
    };
    const std::string sources[] = {
        "x.zi", "dir/x\nint injected = 42;\n.zi", "x.zi\\", "x.zi\\ ", "a\\b/\x1B[2J\xFF.zi",
    };
    const std::vector<std::string> plain = headerLines(body, "x.zi");
    for (const std::u16string& doc : docs) {
        for (const std::string& source : sources) {
            std::u16string text = u"/// " + doc + u"\ninterface a.IThing;\nrecord R {\n/// " + doc +
                                  u"\nbefore: i32;\n/// " + doc + u"\nafter: i32; }\n";
            std::vector<std::string> lines = headerLines(text, source);
            // Every copied text stays on its own lines: the header has the plain one's lines,
            // a comment line for each doc comment where it is written (the interface's before
            // both classes) and a line of the description's literal for each.
            EXPECT_EQ(lines.size(), plain.size() + 4 + 3) << source;
            for (const std::string& line : lines) {
                std::string trimmed = line.substr(0, line.find_last_not_of(" \t\f\v") + 1);
                EXPECT_FALSE(trimmed.ends_with("\\") || trimmed.ends_with("?\?/")) << line;
                EXPECT_FALSE(line.starts_with("int injected")) << source;
            }
            ASSERT_FALSE(lines.empty());
            EXPECT_TRUE(lines[0].starts_with("// Generated by zorlek-idl from ")) << lines[0];
            EXPECT_EQ(lines[0].find('/', 3), std::string::npos) << "the base name only";
        }
    }
    // The same in a second interface of the file, whose text also goes into the first's
    // description: as many lines as with a plain doc comment.
    auto second = [&](const std::u16string& doc) {
        return headerLines(
            body + u"/// " + doc + u"\ninterface a.IOther;\n/// " + doc + u"\nmethod m() = 1;\n",
            "x.zi");
    };
    const size_t plainTwo = second(u"plain").size();
    for (const std::u16string& doc : docs) {
        std::vector<std::string> lines = second(doc);
        EXPECT_EQ(lines.size(), plainTwo) << "copied text on its own lines";
        for (const std::string& line : lines) {
            std::string trimmed = line.substr(0, line.find_last_not_of(" \t\f\v") + 1);
            EXPECT_FALSE(trimmed.ends_with("\\") || trimmed.ends_with("?\?/")) << line;
        }
    }
    EXPECT_EQ(headerLines(body, "dir/x\nint injected = 42;\n.zi")[0],
              "// Generated by zorlek-idl from x\\x0Aint injected = 42;\\x0A.zi: change that "
              "file, not this one.");
}

}  // namespace
}  // namespace zorlek::test
