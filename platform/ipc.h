// The IPC surface: parcels, counted references, objects and the service registry.
// Programs and commands include this header rather than the parts below.
#pragma once

#include "platform/ipc/ibinder.h"
#include "platform/ipc/parcel.h"
#include "platform/ipc/refbase.h"
#include "platform/ipc/service_manager.h"
#include "platform/ipc/status.h"
