// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/ipc.h"
#include "platform/text.h"

namespace zorlek {

// Asks `object` for its interface descriptor with a DESCRIPTOR_QUERY_CODE transaction
// (empty request, flags 0, waiting for the reply) and returns the reply's first item
// read as a UTF-16 string. Never fails outward: a null object (nothing is sent then), a
// non-zero status (whatever the reply holds) or an unreadable reply gives the empty
// string, which means "no descriptor". The caller's reference is left as it was.
String16 fetchInterfaceDescriptor(const sp<IBinder>& object);

// As fetchInterfaceDescriptor, telling whether the query itself failed: the status of the
// transaction (the descriptor, empty when the reply does not read as one, in `out` after
// 0; `out` empty after any other status). `object` must not be null.
status_t queryInterfaceDescriptor(const sp<IBinder>& object, String16* out);

// The descriptor that a descriptor query answered with `status` and `reply` gives, as
// fetchInterfaceDescriptor reads it: empty for any non-zero status or unreadable reply.
String16 descriptorFromReply(status_t status, Parcel& reply);

}  // namespace zorlek
