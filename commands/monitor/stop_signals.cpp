// SPDX-License-Identifier: Apache-2.0
#include "commands/monitor/stop_signals.h"

#include <sys/signalfd.h>
#include <unistd.h>

#include "commands/tool_state.h"

namespace zorlek {
namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM};

void exitAtOnce(int /*signal*/) {
    _exit(EXIT_OK);
}

sigset_t stopSet() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : kStopSignals) sigaddset(&set, signal);
    return set;
}

}  // namespace

StopSignals::StopSignals() {
    struct sigaction action {};
    action.sa_handler = exitAtOnce;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < 2; ++i) {
        sigaction(kStopSignals[i], &action, &savedActions_[i]);
        // A signal ignored from the start (a job started in the background) stays ignored.
        if (savedActions_[i].sa_handler == SIG_IGN)
            sigaction(kStopSignals[i], &savedActions_[i], nullptr);
    }
}

StopSignals::~StopSignals() {
    if (held_) {
        // Whatever came after the last look is taken off, so that it is not delivered
        // once the previous mask returns.
        signalfd_siginfo info;
        while (fd_ && ::read(fd_.get(), &info, sizeof info) == sizeof info) {
        }
        fd_.reset();
        pthread_sigmask(SIG_SETMASK, &savedMask_, nullptr);
    }
    for (size_t i = 0; i < 2; ++i) sigaction(kStopSignals[i], &savedActions_[i], nullptr);
}

status_t StopSignals::hold() {
    sigset_t set = stopSet();
    if (pthread_sigmask(SIG_BLOCK, &set, &savedMask_) != 0) return -EINVAL;
    held_ = true;
    fd_.reset(::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
    return fd_ ? OK : -errno;
}

}  // namespace zorlek
