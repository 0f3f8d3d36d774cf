#include "platform/ipc/local_object.h"

namespace zorlek {

LocalObject::LocalObject(String16 descriptor) : descriptor_(std::move(descriptor)) {}

status_t LocalObject::onTransact(uint32_t code, Parcel& /*data*/, Parcel* reply,
                                 uint32_t /*flags*/) {
    if (code != DESCRIPTOR_QUERY_CODE) return -EBADRQC;
    return reply->writeString16(descriptor_);
}

status_t LocalObject::sendTransaction(uint32_t code, const Parcel& data, Parcel* reply,
                                      uint32_t flags) {
    // onTransact reads through the parcel's position, so it gets its own copy.
    Parcel request(data);
    request.setDataPosition(0);
    Parcel discard;
    Parcel* into = reply != nullptr ? reply : &discard;
    into->clear();
    status_t status = onTransact(code, request, into, flags);
    if (takeReplyWithheld()) status = -ETIMEDOUT;
    if ((flags & FLAG_ONEWAY) != 0) {
        into->clear();
        return OK;
    }
    if (status != OK) into->clear();
    return status;
}

bool LocalObject::takeReplyWithheld() {
    bool withheld = replyWithheld_;
    replyWithheld_ = false;
    return withheld;
}

}  // namespace zorlek
