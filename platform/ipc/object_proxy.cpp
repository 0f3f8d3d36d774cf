#include "platform/ipc/object_proxy.h"

#include "platform/transport/message_io.h"

namespace zorlek {

ObjectProxy::ObjectProxy(unique_fd channel, int timeoutMs)
    : channel_(std::move(channel)), timeoutMs_(timeoutMs) {}

status_t ObjectProxy::sendTransaction(uint32_t code, const Parcel& data, Parcel* reply,
                                      uint32_t flags) {
    Parcel* into = reply != nullptr ? reply : &discard_;
    into->clear();
    status_t status = sendRequest(code, data, flags);
    if (status != OK || (flags & FLAG_ONEWAY) != 0) return status;
    // Once per channel; without it the wait falls back to poll().
    if (!receiveTimeoutSet_) {
        receiveTimeoutSet_ = setReceiveTimeout(channel_.get(), timeoutMs_) == OK;
    }
    return receiveReply(code, into, timeoutMs_, false);
}

status_t ObjectProxy::sendRequest(uint32_t code, const Parcel& data, uint32_t flags) {
    if (!channel_) return -EPIPE;
    if (data.dataSize() > kMaxParcelSize) return -EMSGSIZE;
    MessageHeader request{MSG_TRANSACT, code, static_cast<int32_t>(flags), 0};
    status_t status =
        sendMessage(channel_.get(), request, data.data(), data.dataSize(), -1, timeoutMs_);
    // A request cut short leaves the peer mid-message: the channel cannot carry another.
    if (status != OK) die();
    return status;
}

status_t ObjectProxy::receiveReply(uint32_t code, Parcel* into, int waitMs, bool readable) {
    FirstWait first = readable             ? FirstWait::kNone
                      : receiveTimeoutSet_ ? FirstWait::kInReceive
                                           : FirstWait::kPoll;
    MessageHeader answer;
    status_t status =
        receiveMessage(channel_.get(), &answer, into, nullptr, kMaxParcelSize, waitMs, first);
    if (status == OK && (answer.type != MSG_REPLY || answer.code != code)) status = -EBADMSG;
    if (status != OK) {
        // Whatever follows on the channel (a late reply, the rest of an oversized one)
        // would be taken for the answer to a later call.
        die();
        into->clear();
        return status;
    }
    if (answer.value != OK) into->clear();
    return answer.value;
}

}  // namespace zorlek
