// SPDX-License-Identifier: Apache-2.0
#include "commands/commands.h"
#include "commands/integer.h"
#include "commands/invoke_events.h"
#include "commands/limits.h"
#include "commands/transaction_failure.h"
#include "commands/typed/values.h"
#include "commands/typed_service.h"
#include "platform/text.h"

namespace zorlek {
namespace {

// Writes the reply's fields as one line of JSON, as they are read. The reply is read twice:
// first only counting, so that a malformed reply or one whose JSON would pass its bound
// (kInvokeJsonPerInputByte times the reply and the description) prints nothing of it; then
// to the output. Nothing of the JSON is kept in memory. When it is not printed, writes the
// line that says why and sets EXIT_USAGE.
void printReply(ToolState& state, const TypedService& typed, const idl::Method& method,
                const char* service, Parcel& reply) {
    const size_t start = reply.dataPosition();
    const size_t limit = kInvokeJsonPerInputByte * (reply.dataSize() + typed.descriptionBytes);
    String8 why;
    JsonWriter counter(nullptr, limit);
    typed::ReplyJson read =
        typed::writeReplyAsJson(reply, typed.interface(), method.reply, counter, &why);
    if (read == typed::ReplyJson::kWritten) {
        reply.setDataPosition(start);
        JsonWriter out(&aout, limit);
        typed::writeReplyAsJson(reply, typed.interface(), method.reply, out, &why);
        aout << endl;
        return;
    }
    aerr << "zorlek: Service " << service;
    if (read == typed::ReplyJson::kMalformed) {
        aerr << " sent a malformed reply to " << method.name.c_str() << ": " << why << endl;
    } else {
        aerr << " sent a reply to " << method.name.c_str() << " whose JSON would pass its bound ("
             << static_cast<uint32_t>(kInvokeJsonPerInputByte)
             << " bytes a byte of the reply and the description); --raw shows it" << endl;
    }
    state.exitStatus = EXIT_USAGE;
}

// Reads --count and --timeout, which bound the calls an `@` object is served for.
bool readEventOptions(ToolState& state, uint64_t* count, int* timeoutMs) {
    const char* what = nullptr;
    const char* text = state.option("--count");
    if (text != nullptr) {
        std::optional<uint64_t> n = parseDecimal(text, UINT64_MAX / 10);
        if (!n || *n == 0) what = "count";
        *count = n.value_or(0);
    }
    if (const char* seconds = state.option("--timeout"); what == nullptr && seconds != nullptr) {
        std::optional<int> ms = parseSeconds(text = seconds);
        if (!ms) what = "timeout";
        *timeoutMs = ms.value_or(-1);
    }
    if (what == nullptr) return true;
    aerr << "zorlek: invalid " << what << ": " << text << endl;
    state.failUsage();
    return false;
}

}  // namespace

void runInvoke(ToolState& state) {
    TypedOptions options;
    options.interfaceFile = state.option("--interface");
    options.raw = state.option("--raw") != nullptr;
    uint64_t count = 0;
    int timeoutMs = -1;
    if (!readEventOptions(state, &count, &timeoutMs)) return;
    const char* service = state.argv[state.cursor];
    const char* methodName = state.argv[state.cursor + 1];
    state.cursor += 2;
    TypedService typed;
    if (!obtainInterface(state, service, options.interfaceFile, &typed)) return;
    EventSink events(typed);
    const idl::Method* method = typed.interface().findMethod(methodName);
    String8 why;
    Parcel request;
    request.writeInterfaceToken(String16(typed.interface().name.c_str()));
    if (method == nullptr) {
        aerr << "zorlek: Interface " << typed.interface().name.c_str() << " has no method "
             << methodName << endl;
    } else if (!typed::writeArguments(request, typed.interface(), *method,
                                      state.argv + state.cursor,
                                      static_cast<size_t>(state.argc - state.cursor), &why,
                                      {&typed.description, &events})) {
        aerr << "zorlek: " << why << endl;
    }
    if (method == nullptr || why.size() != 0) {
        state.exitStatus = EXIT_USAGE;
        return;
    }
    Parcel reply;
    uint32_t flags = method->oneway ? FLAG_ONEWAY : 0;
    status_t status =
        sendAndReport(state, *typed.object, method->code, request, flags, options.raw, &reply);
    if (status != OK) return;
    if (!options.raw) printReply(state, typed, *method, service, reply);
    if (events.madeAny() && state.exitStatus == EXIT_OK) {
        serveEvents(state, typed, events, service, count, timeoutMs);
    }
}

}  // namespace zorlek
