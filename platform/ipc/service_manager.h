#pragma once

#include <cstddef>

#include "platform/ipc/ibinder.h"
#include "platform/ipc/refbase.h"
#include "platform/text/string16.h"
#include "platform/text/vector.h"

namespace zorlek {

// The registry of named services, as a client sees it.
class ServiceManager : public RefBase {
  public:
    // The object registered under exactly `name`, or null when there is none (or the
    // registry cannot be asked). The caller holds the returned reference.
    virtual sp<IBinder> lookupService(const String16& name) = 0;
    // Every registered name, sorted by code units; empty when the registry cannot be
    // asked.
    virtual Vector<String16> listServiceNames() = 0;

    // As listServiceNames(), telling why nothing came back: 0 with every name in `out`, or
    // the failure with `out` empty (never a partial listing). The base class has no
    // failures to tell: it gives the names listServiceNames() gives, and 0.
    virtual status_t list(Vector<String16>* out) {
        *out = listServiceNames();
        return OK;
    }

    // Looks up names[0] .. names[count - 1] and sets out[i] as lookupService(names[i])
    // would. The registry client asks for them all before it waits for the answers; the
    // base class asks one at a time. The caller bounds `count`: each object found holds
    // a channel (a descriptor) until the caller lets it go.
    virtual void lookupServices(const String16* names, size_t count, sp<IBinder>* out) {
        for (size_t i = 0; i < count; ++i) out[i] = lookupService(names[i]);
    }
};

// Connects to the registry at $ZORLEK_REGISTRY (when set and not empty), else at
// /run/zorlek/registry.sock, and completes the opening handshake. Null when nothing
// answers there as a registry within the call timeout ($ZORLEK_CALL_TIMEOUT_MS,
// default 10000).
sp<ServiceManager> defaultServiceManager();

}  // namespace zorlek
