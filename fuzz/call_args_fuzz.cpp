// SPDX-License-Identifier: Apache-2.0
// Arbitrary command lines for call, run in-process through the driver against an
// in-memory registry that records every transaction. The input, split at NUL bytes, is
// the argument vector after "zorlek call". Whatever it holds: the exit status is 0 or 10,
// a request is sent whole (exactly the items its arguments describe) or not at all, a
// run that sends nothing says why in one error line, and the output grows at most in
// proportion to the input.

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/check.h"
#include "tests/commands/fakes.h"

namespace zorlek::test {
namespace {

using fuzz::check;

// A descriptor so long that its interface token leaves only 28 bytes of the parcel
// limit, so that a few arguments carry a request over it.
constexpr size_t kHugeUnits = (kMaxParcelSize - 32) / 2 - 1;

Journal gJournal;

const std::u16string& hugeDescriptor() {
    static const std::u16string descriptor(kHugeUnits, u'd');
    return descriptor;
}

// The registry the command lines address: a service per outcome of the call.
sp<FakeRegistry> makeRegistry() {
    sp<FakeRegistry> registry(new FakeRegistry(&gJournal));
    registry->add("echo", describedAs(u"x.IEcho"));
    ObjectScript failing = describedAs(u"x.IEcho");
    failing.callStatus = -EPIPE;
    failing.callReply = Bytes();
    registry->add("fail", failing);
    registry->add("gone", std::nullopt);
    registry->add("blank", describedAs(u""));
    // Answers with an empty reply: dumping a megabyte would slow every run that gets there.
    ObjectScript huge = describedAs(hugeDescriptor());
    huge.callReply = Bytes();
    registry->add("huge", huge);
    return registry;
}

// The range rule for integers, read with the C library rather than the tool's reader.
std::optional<int32_t> integerArgument(const std::string& text) {
    errno = 0;
    long long value = std::strtoll(text.c_str(), nullptr, 10);
    if (errno == ERANGE || value < INT32_MIN || value > static_cast<long long>(UINT32_MAX)) {
        return std::nullopt;
    }
    return static_cast<int32_t>(static_cast<uint32_t>(value));
}

bool hasKey(const std::string& arg) {
    return arg.find_first_not_of('=') != std::string::npos;
}

// Reads the intent record's items: action, data, type, launchFlags, component, the
// categories with their count, and the closing -1.
bool readIntentRecord(Parcel& request) {
    String16 text;
    int32_t number;
    for (int i = 0; i < 3; ++i) {
        if (request.readString16(&text) != OK) return false;
    }
    if (request.readInt32(&number) != OK || request.readString16(&text) != OK) return false;
    if (request.readInt32(&number) != OK || number < 0) return false;
    for (int32_t i = 0; i < number; ++i) {
        if (request.readString16(&text) != OK) return false;
    }
    return request.readInt32(&number) == OK && number == -1;
}

// True when `bytes` hold the interface token `token`, then exactly the items the typed
// arguments from args[3] on describe, and nothing after them.
bool requestMatches(const std::vector<std::string>& args, const Bytes& token, const Bytes& bytes) {
    check(bytes.size() <= kMaxParcelSize, "request over the limit sent");
    if (bytes.size() < token.size() || !std::equal(token.begin(), token.end(), bytes.begin())) {
        return false;
    }
    Parcel request;
    request.setData(bytes.data() + token.size(), bytes.size() - token.size());
    for (size_t i = 3; i < args.size(); ++i) {
        const std::string& word = args[i];
        if ((word == "i32" || word == "s16") && i + 1 == args.size()) return false;
        if (word == "i32") {
            int32_t value;
            std::optional<int32_t> expected = integerArgument(args[++i]);
            if (!expected || request.readInt32(&value) != OK || value != *expected) return false;
        } else if (word == "s16") {
            String16 text;
            if (request.readString16(&text) != OK || text != String16(args[++i].c_str())) {
                return false;
            }
        } else if (word == "null") {
            sp<IBinder> object;
            if (request.readStrongBinder(&object) != OK) return false;
        } else if (word == "intent") {
            // The record takes every argument after it; one without a key is an error.
            for (size_t k = i + 1; k < args.size(); ++k) {
                if (!hasKey(args[k])) return false;
            }
            if (!readIntentRecord(request)) return false;
            break;
        } else {
            return false;
        }
    }
    return request.dataAvail() == 0;
}

size_t newlines(const std::string& text) {
    size_t n = 0;
    for (char c : text) n += c == '\n';
    return n;
}

// A run that sent nothing: status 10 and one error line that says why.
void checkRefused(const Outcome& got, size_t argNewlines) {
    check(got.status == 10, "nothing sent, yet success");
    check(got.err.rfind("zorlek: ", 0) == 0 && got.err.back() == '\n', "no error line");
    check(newlines(got.err) <= 1 + argNewlines, "more than one error line");
    if (got.out.rfind("Result: ", 0) == 0) {
        // Only a request too large to send prints a result, the empty reply.
        check(got.out == "Result: Parcel(0 bytes)\n" &&
                  got.err == "zorlek: Transaction failed with status -90 (Message too long)\n",
              "result printed without a transaction");
    } else {
        check(got.out.empty() || got.out == kUsage, "unexpected output");
    }
}

}  // namespace
}  // namespace zorlek::test

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zorlek;
    using namespace zorlek::test;
    static sp<FakeRegistry> registry = makeRegistry();
    std::vector<std::string> args = {"call"};
    size_t argNewlines = 0;
    if (size > 0) {
        std::string input(reinterpret_cast<const char*>(data), size);
        for (size_t start = 0;;) {
            size_t end = input.find('\0', start);
            args.push_back(input.substr(start, end - start));
            argNewlines += newlines(args.back());
            if (end == std::string::npos) break;
            start = end + 1;
        }
    }
    gJournal = Journal();
    Outcome got = runTool(registry, args);
    check(got.status == 0 || got.status == 10, "exit status");
    check(gJournal.liveObjects == 0, "object reference kept");
    check(gJournal.sent.size() <= 2, "more than one call");
    if (!gJournal.sent.empty()) {
        check(gJournal.sent[0].code == DESCRIPTOR_QUERY_CODE && gJournal.sent[0].bytes.empty(),
              "first transaction is not the descriptor query");
    }
    if (gJournal.sent.size() < 2) {
        checkRefused(got, argNewlines);
        return 0;
    }
    const Sent& call = gJournal.sent[1];
    static const Bytes echoToken = s16(u"x.IEcho");
    static const Bytes hugeToken = s16(hugeDescriptor());
    const Bytes& token = call.target == "huge" ? hugeToken : echoToken;
    check(requestMatches(args, token, call.bytes), "request differs from its arguments");
    std::optional<int32_t> code = integerArgument(args[2]);
    check(code && call.code == static_cast<uint32_t>(*code), "code");
    bool failed = call.target == "fail";
    check(got.status == (failed ? 10 : 0), "status of a sent call");
    check(got.err == (failed ? "zorlek: Transaction failed with status -32 (Broken pipe)\n" : ""),
          "error output of a sent call");
    check(got.out.rfind("Result: Parcel(", 0) == 0, "no result");
    check(call.bytes.size() <= token.size() + 8 * size + 32, "request out of proportion");
    check(got.out.size() <= 64 + 5 * (call.bytes.size() + 4), "output out of proportion");
    return 0;
}
