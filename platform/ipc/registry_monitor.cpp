// SPDX-License-Identifier: Apache-2.0
// Asking the registry for a tap on the host of a name (MSG_MONITOR).

#include "platform/base/limits.h"
#include "platform/ipc/registry_client.h"
#include "platform/transport/fd_closer.h"
#include "platform/transport/wire.h"

namespace zorlek {

status_t RegistryClient::monitor(const String16& name, int32_t snaplen, uint32_t* handle,
                                 unique_fd* tap) {
    *handle = 0;
    tap->reset();
    if (snaplen < 0 || snaplen > kMaxSnapLength) return -EINVAL;
    if (name.size() == 0 || name.size() > kMaxNameUnits) return -ENOENT;
    status_t status = ensureConnected();
    if (status != OK) return status;
    if ((features_ & FEATURE_MONITOR) == 0) return -EOPNOTSUPP;
    Parcel& payload = request_;
    payload.clear();
    payload.writeString16(name);
    payload.writeInt32(snaplen);
    status = request({MSG_MONITOR}, payload, MSG_MONITOR_REPLY, &answer_);
    // A registry that announced the feature and then did not know the request: as one that
    // never announced it.
    if (status == -EBADRQC) return -EOPNOTSUPP;
    if (status != OK) return status;
    const MessageHeader& header = answer_.header;
    if (header.value < 0) {
        closeSocket(std::move(answer_.fd));
        return header.value;
    }
    if (header.value > 0 || header.object == 0 || !answer_.fd) {
        closeSocket(std::move(answer_.fd));
        disconnect();
        return -EBADMSG;
    }
    *handle = header.object;
    *tap = std::move(answer_.fd);
    return OK;
}

}  // namespace zorlek
