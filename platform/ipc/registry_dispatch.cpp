// SPDX-License-Identifier: Apache-2.0
// A client's part in a foreign event loop: calls back to its objects and notices.
#include "platform/ipc/registry_client.h"

namespace zorlek {

status_t RegistryClient::dispatch() {
    status_t status = channels_->serveReady();
    // Told here, outside any call's handling; a notice may ask for more.
    for (sp<DeathRecipient>& recipient : channels_->takeNotices()) recipient->onGone();
    return status;
}

}  // namespace zorlek
