// SPDX-License-Identifier: Apache-2.0
#include "platform/transport/object_proxy.h"

#include "platform/transport/channel_end.h"

namespace zorlek {

ObjectProxy::ObjectProxy(sp<ChannelEnd> end, uint32_t handle)
    : end_(std::move(end)), handle_(handle) {}

ObjectProxy::~ObjectProxy() {
    end_->proxyGone(this, handle_);
}

status_t ObjectProxy::sendTransaction(uint32_t code, const Parcel& data, Parcel* reply,
                                      uint32_t flags) {
    return end_->transact(handle_, code, data, reply, flags);
}

status_t ObjectProxy::notifyWhenGone(const sp<DeathRecipient>& recipient) {
    return end_->addNotice(this, recipient);
}

bool ObjectProxy::isAlive() const {
    return end_->alive();
}

ClientChannel* ObjectProxy::clientChannel() const {
    return end_->clientChannel();
}

}  // namespace zorlek
