// SPDX-License-Identifier: Apache-2.0
#include "commands/typed_service.h"

#include <cstring>

#include "commands/registry_failure.h"
#include "commands/transaction_failure.h"
#include "idl/parser.h"
#include "idl/source_file.h"
#include "platform/text.h"

namespace zorlek {
namespace {

bool failWith(ToolState& state, const char* service, const char* what) {
    aerr << "zorlek: Service " << service << what << endl;
    state.exitStatus = EXIT_USAGE;
    return false;
}

bool unreachable(ToolState& state, const char* service, status_t status) {
    reportInterfaceFailure(service, status);
    state.exitStatus = EXIT_USAGE;
    return false;
}

// Asks `object` one query and reads the string it answers into `text`; the status.
status_t query(IBinder& object, uint32_t code, String16* text) {
    Parcel reply;
    status_t status = object.sendTransaction(code, Parcel(), &reply, 0);
    if (status == OK) status = reply.readString16(text) == OK ? OK : -EBADMSG;
    return status;
}

bool readFile(ToolState& state, const char* file, idl::Description* description,
              size_t* descriptionBytes) {
    std::u16string text;
    status_t status = idl::readSourceFile(file, &text);
    idl::ParseError error;
    std::optional<idl::Description> parsed;
    if (status == OK) parsed = idl::parseDescription(text, &error);
    if (parsed) *descriptionBytes = text.size() * sizeof(char16_t);
    if (status != OK) {
        aerr << "zorlek: Unable to read " << file << ": " << std::strerror(-status) << endl;
    } else if (!parsed) {
        aerr << "zorlek: " << file << ":" << error.line << ": " << error.why << endl;
    } else {
        *description = std::move(*parsed);
        return true;
    }
    state.exitStatus = EXIT_USAGE;
    return false;
}

}  // namespace

bool obtainInterface(ToolState& state, const char* service, const char* interfaceFile,
                     TypedService* out) {
    if (interfaceFile != nullptr &&
        !readFile(state, interfaceFile, &out->description, &out->descriptionBytes))
        return false;
    if (!lookUpService(state, service, &out->object)) return false;
    if (!out->object) return failWith(state, service, " does not exist");
    String16 text;
    if (interfaceFile != nullptr) {
        status_t status = query(*out->object, DESCRIPTOR_QUERY_CODE, &text);
        if (status != OK) return unreachable(state, service, status);
        if (text.size() == 0) return failWith(state, service, " does not exist");
        const std::vector<idl::Interface>& interfaces = out->description.interfaces;
        for (size_t i = 0; i < interfaces.size(); ++i) {
            out->own = i;
            if (text == String16(interfaces[i].name.c_str())) return true;
        }
        aerr << "zorlek: Service " << service << " implements " << narrowForDisplay(text);
        if (interfaces.size() == 1) {
            aerr << ", not " << interfaces[0].name.c_str() << endl;
        } else {
            aerr << ", which " << interfaceFile << " does not describe" << endl;
        }
        state.exitStatus = EXIT_USAGE;
        return false;
    }
    status_t status = query(*out->object, INTERFACE_QUERY_CODE, &text);
    if (status == -EBADRQC || (status == OK && text.size() == 0)) {
        return failWith(state, service,
                        " does not describe its interface (--interface FILE.zi gives one)");
    }
    if (status != OK) return unreachable(state, service, status);
    idl::ParseError error;
    std::optional<idl::Description> parsed = idl::parseDescription(text.view(), &error);
    if (!parsed) {
        aerr << "zorlek: Service " << service << " describes its interface wrongly: line "
             << error.line << ": " << error.why << endl;
        state.exitStatus = EXIT_USAGE;
        return false;
    }
    out->description = std::move(*parsed);
    out->own = 0;
    out->descriptionBytes = text.size() * sizeof(char16_t);
    return true;
}

}  // namespace zorlek
