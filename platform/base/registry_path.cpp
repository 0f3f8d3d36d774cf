// SPDX-License-Identifier: Apache-2.0
#include "platform/base/registry_path.h"

#include <cstdlib>

namespace zorlek {

const char* registryPath() {
    const char* path = std::getenv("ZORLEK_REGISTRY");
    return path != nullptr && *path != '\0' ? path : kDefaultRegistryPath;
}

}  // namespace zorlek
