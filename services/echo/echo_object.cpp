// SPDX-License-Identifier: Apache-2.0
#include "services/echo/echo_object.h"

#include <unistd.h>

#include "platform/base/call_context.h"

namespace zorlek::echo {

EchoObject::EchoObject(EchoConfig config)
    : LocalObject(config.descriptor), config_(std::move(config)) {}

status_t EchoObject::onTransact(uint32_t code, Parcel& data, Parcel* reply, uint32_t flags) {
    if (config_.behaviour == Behaviour::kHang) {
        withholdReply();
        return OK;
    }
    if (code == DESCRIPTOR_QUERY_CODE) {
        if (!config_.noDescriptor) return LocalObject::onTransact(code, data, reply, flags);
        // The failure status must win over the text that is still there: a caller has to
        // discard the reply of a failed call.
        reply->writeString16(String16(u"zorlek.IEcho"));
        return -EBADRQC;
    }
    if (config_.behaviour == Behaviour::kHangCalls) {
        withholdReply();
        return OK;
    }
    if (config_.behaviour == Behaviour::kExitOnCall) _exit(0);
    // The echo object describes no interface, and says so as any such object does.
    if (code == INTERFACE_QUERY_CODE) return LocalObject::onTransact(code, data, reply, flags);
    // The code, then the request exactly as it came. A reply past the size limit fails
    // to build, and the host answers that failure instead.
    reply->writeInt32(static_cast<int32_t>(code));
    reply->write(data.data(), data.dataSize());
    return config_.status;
}

}  // namespace zorlek::echo
