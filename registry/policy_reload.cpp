// SPDX-License-Identifier: Apache-2.0
#include "registry/policy_reload.h"

#include "platform/text.h"

namespace zorlek::registry {

void readPolicy(const std::vector<String8>& folders, Policy* policy) {
    std::vector<String8> problems;
    *policy = Policy::load(folders, systemAccounts(), &problems, policy);
    for (const String8& problem : problems) aerr << "zorlek-registry: " << problem << endl;
}

PolicyReloader::PolicyReloader(EventLoop& loop, std::vector<String8> folders, Policy* policy,
                               std::function<void()> onRead)
    : folders_(std::move(folders)),
      policy_(policy),
      onRead_(std::move(onRead)),
      hangups_(loop, [this](int) { reload(); }) {}

void PolicyReloader::reload() {
    readPolicy(folders_, policy_);
    aerr << "zorlek-registry: policy read again: " << static_cast<uint32_t>(policy_->ruleCount())
         << " lines" << endl;
    if (onRead_) onRead_();
}

}  // namespace zorlek::registry
