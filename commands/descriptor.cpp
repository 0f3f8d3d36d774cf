// SPDX-License-Identifier: Apache-2.0
#include "commands/descriptor.h"

namespace zorlek {

String16 fetchInterfaceDescriptor(const sp<IBinder>& object) {
    String16 descriptor;
    if (object) queryInterfaceDescriptor(object, &descriptor);
    return descriptor;
}

status_t queryInterfaceDescriptor(const sp<IBinder>& object, String16* out) {
    Parcel request;
    Parcel reply;
    status_t status = object->sendTransaction(DESCRIPTOR_QUERY_CODE, request, &reply, 0);
    *out = descriptorFromReply(status, reply);
    return status;
}

String16 descriptorFromReply(status_t status, Parcel& reply) {
    return status == OK ? reply.readString16() : String16();
}

}  // namespace zorlek
