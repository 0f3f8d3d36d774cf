// SPDX-License-Identifier: Apache-2.0
#include "platform/ipc/object_proxy.h"

#include "platform/transport/client_channel.h"

namespace zorlek {

ObjectProxy::ObjectProxy(sp<ClientChannel> channel, uint32_t handle)
    : channel_(std::move(channel)), handle_(handle) {}

ObjectProxy::~ObjectProxy() = default;

status_t ObjectProxy::sendTransaction(uint32_t code, const Parcel& data, Parcel* reply,
                                      uint32_t flags) {
    return channel_->transact(handle_, code, data, reply, flags);
}

bool ObjectProxy::isAlive() const {
    return channel_->alive();
}

}  // namespace zorlek
