#include "services/echo/echo_object.h"

#include <unistd.h>

#include <cstring>

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
    size_t size = data.dataSize();
    if (size > kMaxParcelSize - 4) return -EMSGSIZE;
    // The code, then the request exactly as it came (its size is a multiple of 4, as
    // every parcel's is).
    uint8_t* out = reply->resizeForReceive(4 + size);
    out[0] = static_cast<uint8_t>(code);
    out[1] = static_cast<uint8_t>(code >> 8);
    out[2] = static_cast<uint8_t>(code >> 16);
    out[3] = static_cast<uint8_t>(code >> 24);
    if (size > 0) std::memcpy(out + 4, data.data(), size);
    return config_.status;
}

}  // namespace zorlek::echo
