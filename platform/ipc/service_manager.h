#pragma once

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
};

// Connects to the registry at $ZORLEK_REGISTRY (when set and not empty), else at
// /run/zorlek/registry.sock, and completes the opening handshake. Null when nothing
// answers there as a registry within the call timeout ($ZORLEK_CALL_TIMEOUT_MS,
// default 10000).
sp<ServiceManager> defaultServiceManager();

}  // namespace zorlek
