// SPDX-License-Identifier: Apache-2.0
#include "commands/commands.h"
#include "commands/transaction_failure.h"
#include "commands/typed_service.h"
#include "idl/values.h"
#include "platform/text.h"

namespace zorlek {

void runInvoke(ToolState& state) {
    TypedOptions options;
    options.interfaceFile = state.option("--interface");
    options.raw = state.option("--raw") != nullptr;
    const char* service = state.argv[state.cursor];
    const char* methodName = state.argv[state.cursor + 1];
    state.cursor += 2;
    TypedService typed;
    if (!obtainInterface(state, service, options.interfaceFile, &typed)) return;
    const idl::Method* method = typed.interface.findMethod(methodName);
    String8 why;
    Parcel request;
    request.writeInterfaceToken(String16(typed.interface.name.c_str()));
    if (method == nullptr) {
        aerr << "zorlek: Interface " << typed.interface.name.c_str() << " has no method "
             << methodName << endl;
    } else if (!idl::writeArguments(request, typed.interface, *method, state.argv + state.cursor,
                                    static_cast<size_t>(state.argc - state.cursor), &why)) {
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
    if (status != OK || options.raw) return;
    String8 json;
    if (!idl::readReplyAsJson(reply, typed.interface, method->reply, &json, &why)) {
        aerr << "zorlek: Service " << service << " sent a malformed reply to " << methodName << ": "
             << why << endl;
        state.exitStatus = EXIT_USAGE;
        return;
    }
    aout << json << endl;
}

}  // namespace zorlek
