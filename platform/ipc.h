// SPDX-License-Identifier: Apache-2.0
// The IPC client surface: parcels and the typed values of interface descriptions, counted
// references, objects, many calls at once, and the service registry. Programs and commands
// include this header rather than the parts below; services include platform/hosting.h as
// well.
//
// Threads: everything obtained from one ServiceManager (its objects, their calls, a
// CallPipeline over them) is used from one thread at a time; a program that calls from
// several threads takes one ServiceManager per thread.
#pragma once

#include "platform/ipc/call_pipeline.h"
#include "platform/ipc/call_timeout.h"
#include "platform/ipc/ibinder.h"
#include "platform/ipc/parcel.h"
#include "platform/ipc/refbase.h"
#include "platform/ipc/registry_path.h"
#include "platform/ipc/service_manager.h"
#include "platform/ipc/standard_descriptors.h"
#include "platform/ipc/status.h"
#include "platform/ipc/typed_items.h"
#include "platform/ipc/unique_fd.h"
