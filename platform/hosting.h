// SPDX-License-Identifier: Apache-2.0
// The hosting surface, for services: LocalObject, the base class of an object served to
// other processes, and ServiceHost, which publishes objects under names and serves them.
// Builds on the client surface, platform/ipc.h.
#pragma once

#include "platform/hosting/local_object.h"
#include "platform/hosting/service_host.h"
#include "platform/ipc.h"
