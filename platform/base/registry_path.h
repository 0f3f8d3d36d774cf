// SPDX-License-Identifier: Apache-2.0
#pragma once

namespace zorlek {

// Where the registry listens when ZORLEK_REGISTRY is unset or empty.
constexpr const char* kDefaultRegistryPath = "/run/zorlek/registry.sock";

// The registry's socket path: $ZORLEK_REGISTRY when set and not empty, else
// kDefaultRegistryPath. The registry daemon and every client use this same rule. The
// returned string lives as long as the environment entry (do not keep it across setenv).
const char* registryPath();

}  // namespace zorlek
