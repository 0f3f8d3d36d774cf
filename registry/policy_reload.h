// SPDX-License-Identifier: Apache-2.0
// Reading the registry's name ownership policy again on SIGHUP, on the serving loop, so that
// an administrator's change applies without a restart and without dropping anyone but the
// holders of names it no longer grants them.
#pragma once

#include <signal.h>

#include <functional>
#include <vector>

#include "platform/text/string8.h"
#include "platform/transport/event_loop.h"
#include "registry/policy.h"

namespace zorlek::registry {

// Reads the policy files of `folders` into `policy`, writing one log line per problem. What
// `policy` holds is its last read: a folder or file that cannot be read or trusted now
// keeps what it said then (see Policy::load).
void readPolicy(const std::vector<String8>& folders, Policy* policy);

// Replaces `policy` with the files of `folders` each time SIGHUP comes, between two events
// of `loop`, then calls `onRead`. SIGHUP must be blocked (blockSignals) before it can
// arrive: its default ends the process.
class PolicyReloader {
  public:
    PolicyReloader(EventLoop& loop, std::vector<String8> folders, Policy* policy,
                   std::function<void()> onRead);

    // 0 once SIGHUP is watched, else a negative errno.
    status_t start() { return hangups_.start({SIGHUP}); }

  private:
    void reload();

    std::vector<String8> folders_;
    Policy* policy_;
    std::function<void()> onRead_;
    SignalSource hangups_;
};

}  // namespace zorlek::registry
