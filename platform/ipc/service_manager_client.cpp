#include "platform/ipc/service_manager.h"

namespace zorlek {

sp<ServiceManager> defaultServiceManager() {
    return nullptr;
}

}  // namespace zorlek
