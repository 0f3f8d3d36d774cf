// SPDX-License-Identifier: Apache-2.0
// SIGINT and SIGTERM end a watch at once with status 0. Before the watch writes anything
// (while it waits for services and the registry), they end the process there and then;
// once it reads its taps, they are taken as events of its one poll, so that what was read
// is written whole before it ends.
#pragma once

#include <signal.h>

#include "platform/base/status.h"
#include "platform/base/unique_fd.h"

namespace zorlek {

class StopSignals {
  public:
    // Has SIGINT and SIGTERM end the process with status 0, keeping what they did before.
    StopSignals();
    // Puts back what they did before; a signal taken meanwhile is consumed, not delivered.
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // From now on the signals are held for fd() rather than acted on. 0 or the -errno.
    status_t hold();
    // Readable once SIGINT or SIGTERM arrived (after hold()).
    int fd() const { return fd_.get(); }

  private:
    unique_fd fd_;
    bool held_ = false;
    struct sigaction savedActions_[2];
    sigset_t savedMask_;
};

}  // namespace zorlek
