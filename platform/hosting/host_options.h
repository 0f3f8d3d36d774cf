// SPDX-License-Identifier: Apache-2.0
// The options of a hosting process, apart from the host itself, so that the parts that
// serve it (its channels, its registry connection) read them without reaching up to it.
#pragma once

#include <cstddef>
#include <functional>

#include "platform/base/call_timeout.h"
#include "platform/base/limits.h"
#include "platform/base/status.h"
#include "platform/text/string16.h"

namespace zorlek {

// How a ServiceHost waits on the registry, and the bounds of what callers may hold in it.
// Each bound costs only the caller that reaches it.
struct HostOptions {
    // Bounds each wait for the registry's answers.
    int timeoutMs = callTimeoutMs();
    // How long connect() waits for a registry that is not there yet (no socket, or none
    // listening), trying again with a growing pause; 0 does not wait. So a service may
    // start before its registry.
    int registryWaitMs = callTimeoutMs();
    // Channels served at once (one for each client process that looked up a name of this
    // host, whatever the number of names): in all (never more than the process's
    // descriptor limit allows, less a reserve), and from one calling user other than root
    // and this process's own user (never more than half of all). A channel past either is closed
    // at once (its client's first call fails with -EPIPE); the other channels and every
    // registration stay.
    // All such users together never take the last kHostKeptChannelsShare-th of all (at least
    // kHostKeptChannelsMin), which is kept for root and this process's own user.
    size_t maxChannels = kMaxChannels;
    size_t maxChannelsPerUser = kMaxChannelsPerUser;
    // Bytes one calling user's channels may hold (replies not read, requests still
    // arriving) before they are no longer read, and what the users other than root and
    // this process's own may hold together.
    size_t userBudgetBytes = kHostUserBudgetBytes;
    size_t othersBudgetBytes = kHostOthersBudgetBytes;
    // Called when the registry refuses a name this host held before the registry
    // restarted (someone else took it meanwhile), with the refusal's status. The host
    // keeps asking for the name, with a growing pause (up to 5 s), until it gets it back.
    std::function<void(const String16& name, status_t status)> onRegistrationRefused;
};

}  // namespace zorlek
