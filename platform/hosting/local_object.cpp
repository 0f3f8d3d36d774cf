// SPDX-License-Identifier: Apache-2.0
#include "platform/hosting/local_object.h"

#include <unistd.h>

#include "platform/base/call_context.h"

namespace zorlek {
LocalObject::LocalObject(String16 descriptor, String16 description)
    : descriptor_(std::move(descriptor)), description_(std::move(description)) {}

status_t LocalObject::onTransact(uint32_t code, Parcel& /*data*/, Parcel* reply,
                                 uint32_t /*flags*/) {
    if (code == DESCRIPTOR_QUERY_CODE) return reply->writeString16(descriptor_);
    // An object that does not describe its interface treats the query as any code it
    // does not handle.
    if (code == INTERFACE_QUERY_CODE && description_.size() != 0) {
        return reply->writeString16(description_);
    }
    return -EBADRQC;
}

uid_t LocalObject::callingUid() {
    CallContext* call = currentCall();
    return call != nullptr ? call->caller.uid : ::getuid();
}

pid_t LocalObject::callingPid() {
    CallContext* call = currentCall();
    return call != nullptr ? call->caller.pid : ::getpid();
}

status_t LocalObject::sendTransaction(uint32_t code, const Parcel& data, Parcel* reply,
                                      uint32_t flags) {
    // onTransact reads through the parcel's position, so it gets its own copy.
    Parcel request(data);
    request.setDataPosition(0);
    Parcel discard;
    Parcel* into = reply != nullptr ? reply : &discard;
    into->clear();
    // A call within this process comes from this process.
    CallContext context{{::getpid(), ::getuid(), ::getgid()}, false};
    status_t status;
    {
        CurrentCall current(&context);
        status = onTransact(code, request, into, flags);
    }
    if (context.replyWithheld) status = -ETIMEDOUT;
    if ((flags & FLAG_ONEWAY) != 0) {
        into->clear();
        return OK;
    }
    // A reply whose building failed is that failure, never a short success.
    if (into->status() != OK) status = into->status();
    if (status != OK) into->clear();
    return status;
}

}  // namespace zorlek
