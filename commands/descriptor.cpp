// SPDX-License-Identifier: Apache-2.0
#include "commands/descriptor.h"

namespace zorlek {

String16 fetchInterfaceDescriptor(const sp<IBinder>& object) {
    if (!object) return String16();
    Parcel request;
    Parcel reply;
    status_t status = object->sendTransaction(DESCRIPTOR_QUERY_CODE, request, &reply, 0);
    return descriptorFromReply(status, reply);
}

String16 descriptorFromReply(status_t status, Parcel& reply) {
    return status == OK ? reply.readString16() : String16();
}

}  // namespace zorlek
