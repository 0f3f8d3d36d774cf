#include "platform/ipc/object_proxy.h"

#include "platform/transport/message_io.h"

namespace zorlek {

ObjectProxy::ObjectProxy(unique_fd channel, int timeoutMs)
    : channel_(std::move(channel)), timeoutMs_(timeoutMs) {}

status_t ObjectProxy::sendTransaction(uint32_t code, const Parcel& data, Parcel* reply,
                                      uint32_t flags) {
    Parcel* into = reply != nullptr ? reply : &discard_;
    into->clear();
    if (!channel_) return -EPIPE;
    if (data.dataSize() > kMaxParcelSize) return -EMSGSIZE;
    MessageHeader request{MSG_TRANSACT, code, static_cast<int32_t>(flags), 0};
    status_t status =
        sendMessage(channel_.get(), request, data.data(), data.dataSize(), -1, timeoutMs_);
    if (status != OK) {
        // A request cut short leaves the peer mid-message: the channel cannot carry
        // another one.
        channel_.reset();
        return status;
    }
    if ((flags & FLAG_ONEWAY) != 0) return OK;
    MessageHeader answer;
    status = receiveMessage(channel_.get(), &answer, into, nullptr, kMaxParcelSize, timeoutMs_);
    if (status == OK && (answer.type != MSG_REPLY || answer.code != code)) status = -EBADMSG;
    if (status != OK) {
        // Whatever follows on the channel (a late reply, the rest of an oversized one)
        // would be taken for the answer to a later call.
        channel_.reset();
        into->clear();
        return status;
    }
    if (answer.value != OK) into->clear();
    return answer.value;
}

}  // namespace zorlek
