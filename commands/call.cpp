// SPDX-License-Identifier: Apache-2.0
#include <cstring>

#include "commands/commands.h"
#include "commands/descriptor.h"
#include "commands/integer.h"
#include "commands/intent.h"
#include "commands/registry_failure.h"
#include "commands/transaction_failure.h"
#include "platform/text.h"

namespace zorlek {
namespace {

// Reads the value after "i32" (the cursor is on it) and writes it; false on an error.
bool writeI32Argument(ToolState& state, Parcel& request) {
    if (!state.hasArg()) {
        aerr << "zorlek: no integer supplied for 'i32'" << endl;
        return false;
    }
    std::optional<int32_t> value = parseInteger32(state.arg());
    if (!value) {
        aerr << "zorlek: integer out of range for 'i32': " << state.arg() << endl;
        return false;
    }
    request.writeInt32(*value);
    ++state.cursor;
    return true;
}

// Reads the value after "s16" (the cursor is on it) and writes it; false on an error.
bool writeS16Argument(ToolState& state, Parcel& request) {
    if (!state.hasArg()) {
        aerr << "zorlek: no string supplied for 's16'" << endl;
        return false;
    }
    request.writeString16(String16(state.arg()));
    ++state.cursor;
    return true;
}

// Writes the typed arguments from the cursor to the end. On the first argument error
// writes its line and returns false; the whole command line is read before anything is
// sent, so a wrong argument cancels the call instead of sending half a request.
bool writeTypedArguments(ToolState& state, Parcel& request) {
    while (state.hasArg()) {
        const char* word = state.arg();
        ++state.cursor;
        bool ok = true;
        if (std::strcmp(word, "i32") == 0) {
            ok = writeI32Argument(state, request);
        } else if (std::strcmp(word, "s16") == 0) {
            ok = writeS16Argument(state, request);
        } else if (std::strcmp(word, "null") == 0) {
            request.writeStrongBinder(nullptr);
        } else if (std::strcmp(word, "intent") == 0) {
            IntentRecord record;
            ok = readIntentArguments(state, &record);
            if (ok) writeIntentRecord(request, record);
        } else {
            aerr << "zorlek: unknown option " << word << endl;
            ok = false;
        }
        if (!ok) return false;
    }
    return true;
}

}  // namespace

void runCall(ToolState& state) {
    int service = state.cursor;
    const char* serviceName = state.argv[service];
    const char* codeText = state.argv[service + 1];
    // Checked before the lookup, so a wrong code is reported at once even when the
    // service would hang.
    std::optional<int32_t> code = parseInteger32(codeText);
    if (!code) {
        aerr << "zorlek: Code out of range: " << codeText << endl;
        state.failUsage();
        return;
    }
    sp<IBinder> object;
    if (!lookUpService(state, serviceName, &object)) return;
    String16 descriptor;
    status_t queried = object ? queryInterfaceDescriptor(object, &descriptor) : OK;
    state.cursor = service + 2;
    // A service that does not answer the query is there all the same: what failed is
    // said, rather than that it does not exist.
    if (queried != OK) {
        reportInterfaceFailure(serviceName, queried);
        state.exitStatus = EXIT_USAGE;
        return;
    }
    if (!object || descriptor.size() == 0) {
        aerr << "zorlek: Service " << serviceName << " does not exist" << endl;
        state.exitStatus = EXIT_USAGE;
        return;
    }
    Parcel request;
    request.writeInterfaceToken(descriptor);
    if (!writeTypedArguments(state, request)) {
        state.failUsage();
        return;
    }
    Parcel reply;
    sendAndReport(state, *object, static_cast<uint32_t>(*code), request, 0, true, &reply);
}

}  // namespace zorlek
