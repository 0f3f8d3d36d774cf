// SPDX-License-Identifier: Apache-2.0
#include "registry/policy_reload.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>

#include "platform/text.h"

namespace zorlek::registry {

void readPolicy(const std::vector<String8>& folders, Policy* policy) {
    std::vector<String8> problems;
    *policy = Policy::load(folders, systemAccounts(), &problems, policy);
    for (const String8& problem : problems) aerr << "zorlek-registry: " << problem << endl;
}

void blockHangup() {
    sigset_t hangup;
    sigemptyset(&hangup);
    sigaddset(&hangup, SIGHUP);
    sigprocmask(SIG_BLOCK, &hangup, nullptr);
}

PolicyReloader::PolicyReloader(EventLoop& loop, std::vector<String8> folders, Policy* policy)
    : loop_(loop), folders_(std::move(folders)), policy_(policy) {}

PolicyReloader::~PolicyReloader() {
    if (signals_) loop_.unwatch(signals_.get());
}

status_t PolicyReloader::start() {
    sigset_t hangup;
    sigemptyset(&hangup);
    sigaddset(&hangup, SIGHUP);
    signals_.reset(::signalfd(-1, &hangup, SFD_NONBLOCK | SFD_CLOEXEC));
    if (!signals_) return -errno;
    return loop_.watch(signals_.get(), EPOLLIN, this);
}

void PolicyReloader::onEvents(uint32_t /*events*/) {
    // Several signals before this wake-up are one reload.
    signalfd_siginfo info;
    bool hungUp = false;
    while (::read(signals_.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        hungUp = true;
    }
    if (!hungUp) return;
    readPolicy(folders_, policy_);
    aerr << "zorlek-registry: policy read again: " << static_cast<uint32_t>(policy_->ruleCount())
         << " lines" << endl;
}

}  // namespace zorlek::registry
