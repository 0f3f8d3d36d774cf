// SPDX-License-Identifier: Apache-2.0
// Reading the registry's name ownership policy again on SIGHUP, on the serving loop, so that
// an administrator's change applies without a restart and without dropping anyone.
#pragma once

#include <vector>

#include "platform/base/unique_fd.h"
#include "platform/text/string8.h"
#include "platform/transport/event_loop.h"
#include "registry/policy.h"

namespace zorlek::registry {

// Reads the policy files of `folders` into `policy`, writing one log line per problem. What
// `policy` holds is its last read: a folder or file that cannot be read or trusted now
// keeps what it said then (see Policy::load).
void readPolicy(const std::vector<String8>& folders, Policy* policy);

// Replaces `policy` with the files of `folders` each time SIGHUP comes, between two events
// of `loop`. SIGHUP must be blocked (blockHangup) before it can arrive: its default ends
// the process.
class PolicyReloader final : private EventSource {
  public:
    PolicyReloader(EventLoop& loop, std::vector<String8> folders, Policy* policy);
    ~PolicyReloader() override;
    PolicyReloader(const PolicyReloader&) = delete;
    PolicyReloader& operator=(const PolicyReloader&) = delete;

    // 0 once SIGHUP is watched, else a negative errno.
    status_t start();

  private:
    void onEvents(uint32_t events) override;

    EventLoop& loop_;
    std::vector<String8> folders_;
    Policy* policy_;
    unique_fd signals_;
};

// Blocks SIGHUP for this thread and those it starts, so that it waits for the reloader.
void blockHangup();

}  // namespace zorlek::registry
