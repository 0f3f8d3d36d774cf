// SPDX-License-Identifier: Apache-2.0
// The registry's settings, and who it trusts: what the serving loop, the rules and the
// policy read, apart from any of them.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "platform/transport/user_counts.h"
#include "platform/transport/wire.h"
#include "registry/limits.h"

namespace zorlek::registry {

class Policy;

// The limits default to registry/limits.h, which says what each bounds and why; they are
// fields so that tests and the fuzzer can reach them with little.
struct ServerOptions {
    // Lets every user register the names that no policy line matches, besides root, the
    // registry's own user and those the policy grants a name.
    bool allowAnyUser = false;
    // Who may hold which name (not owned; it must outlive the handler, and may be replaced
    // between two messages). Null: no policy lines.
    const Policy* policy = nullptr;
    // The user the registry runs as.
    uid_t registryUid = 0;
    int handshakeTimeoutMs = kHandshakeTimeoutMs;
    size_t maxConnectionsPerUser = kMaxConnectionsPerUser;
    size_t maxNamesPerUser = kMaxNamesPerUser;
    size_t maxNamesOfOthers = kMaxNamesOfOthers;
    size_t maxUnreadLookups = kMaxUnreadLookups;
    size_t maxPendingChannelsPerUser = kMaxPendingChannelsPerUser;
    size_t maxPendingChannels = kMaxPendingChannels;
    size_t maxUnreadFdsPerUser = kMaxUnreadFdsPerUser;
    size_t maxWaitingNamesPerUser = kMaxWaitingNamesPerUser;
    size_t maxTapsPerHost = kMaxTapsPerHost;
    size_t maxTapsPerUser = kMaxTapsPerUser;
    size_t userBudgetBytes = kUserBudgetBytes;
    size_t trustedBudgetBytes = kTrustedBudgetBytes;
    size_t othersBudgetBytes = kOthersBudgetBytes;
    // The features the registry announces and serves (wire.h); a request of one it does
    // not serve is answered as a message of a type it does not know. Fewer only in tests,
    // to stand in for a registry built before them.
    uint32_t features = kRegistryFeatures;
};

// True for the users the registry trusts as it trusts itself: root and its own user.
inline bool trustedUser(uid_t uid, const ServerOptions& options) {
    return zorlek::trustedUser(uid, options.registryUid);
}

}  // namespace zorlek::registry
