// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "commands/tool_state.h"
#include "idl/model.h"
#include "platform/ipc.h"

namespace zorlek {

// The options of describe and invoke, as the driver read them before SERVICE.
struct TypedOptions {
    // --interface FILE: the description is read from FILE instead of asked of the service.
    const char* interfaceFile = nullptr;
    // --raw (invoke only): the reply is printed as call prints it.
    bool raw = false;
};

// A service, the description of its interface and the interfaces beside it.
struct TypedService {
    sp<IBinder> object;
    idl::Description description;
    // Which of the description's interfaces the service implements.
    size_t own = 0;
    // The size of the description as it came, in UTF-16 units of two bytes: what the output
    // of invoke is bounded by, with the reply's size (kInvokeJsonPerInputByte).
    size_t descriptionBytes = 0;

    const idl::Interface& interface() const { return description.interfaces[own]; }
};

// Looks `service` (as typed) up and obtains its interface: with `interfaceFile`, from that
// file (read and checked before the lookup), the interface there named as the service's
// descriptor; without, by asking the service (INTERFACE_QUERY_CODE), the first interface of
// the description it answers (the others are those beside it in its file). Otherwise writes
// one error line, sets the exit status (EXIT_NO_SERVICE_MANAGER when the registry fails the
// lookup, else EXIT_USAGE) and returns false: a file that cannot be read or has an error
// (FILE:LINE: WHY), a service not registered, one that cannot answer, does not describe
// itself, describes itself wrongly, or implements another interface than the file's.
bool obtainInterface(ToolState& state, const char* service, const char* interfaceFile,
                     TypedService* out);

}  // namespace zorlek
