// The IPC client surface: parcels, counted references, objects and their proxies, and
// the service registry. Programs and commands include this header rather than the parts
// below; services include platform/hosting.h as well.
#pragma once

#include "platform/ipc/call_pipeline.h"
#include "platform/ipc/call_timeout.h"
#include "platform/ipc/ibinder.h"
#include "platform/ipc/object_proxy.h"
#include "platform/ipc/parcel.h"
#include "platform/ipc/refbase.h"
#include "platform/ipc/registry_client.h"
#include "platform/ipc/registry_path.h"
#include "platform/ipc/service_manager.h"
#include "platform/ipc/status.h"
#include "platform/ipc/unique_fd.h"
