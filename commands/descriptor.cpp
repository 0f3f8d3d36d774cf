#include "commands/descriptor.h"

namespace zorlek {

String16 fetchInterfaceDescriptor(const sp<IBinder>& object) {
    if (!object) return String16();
    Parcel request;
    Parcel reply;
    if (object->sendTransaction(DESCRIPTOR_QUERY_CODE, request, &reply, 0) != OK) {
        return String16();
    }
    return reply.readString16();
}

}  // namespace zorlek
