// SPDX-License-Identifier: Apache-2.0
// The IPC client surface: the service registry, many calls at once and the typed values of
// interface descriptions, over the value types every part shares (platform/base/: parcels,
// statuses, counted references, objects). Programs and commands include this header rather
// than the parts below; services include platform/hosting.h as well.
//
// Threads: everything obtained from one ServiceManager (its objects, their calls, a
// CallPipeline over them) is used from one thread at a time; a program that calls from
// several threads takes one ServiceManager per thread.
#pragma once

#include "platform/base/call_timeout.h"
#include "platform/base/ibinder.h"
#include "platform/base/parcel.h"
#include "platform/base/refbase.h"
#include "platform/base/registry_path.h"
#include "platform/base/standard_descriptors.h"
#include "platform/base/status.h"
#include "platform/base/unique_fd.h"
#include "platform/ipc/call_pipeline.h"
#include "platform/ipc/service_manager.h"
#include "platform/ipc/typed_items.h"
