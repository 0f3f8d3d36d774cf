// The IPC surface: parcels, counted references, objects and the service registry, and
// for services the hosting API (LocalObject, ServiceHost).
// Programs and commands include this header rather than the parts below.
#pragma once

#include "platform/ipc/ibinder.h"
#include "platform/ipc/local_object.h"
#include "platform/ipc/parcel.h"
#include "platform/ipc/refbase.h"
#include "platform/ipc/service_host.h"
#include "platform/ipc/service_manager.h"
#include "platform/ipc/status.h"
