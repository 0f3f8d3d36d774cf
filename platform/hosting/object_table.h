// SPDX-License-Identifier: Apache-2.0
// The objects a hosting process serves, by the handle the registry hands to clients.
// Internal to the hosting library.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/hosting/local_object.h"
#include "platform/transport/channel_end.h"

namespace zorlek {

class ObjectTable final : public PublishedObjects {
  public:
    // Adds `object` and returns its handle (never 0): the i-th object added is i.
    uint32_t add(sp<LocalObject> object) {
        objects_.push_back({std::move(object), false});
        return static_cast<uint32_t>(objects_.size());
    }
    // Takes back the object added last (its registration failed).
    void removeLast() { objects_.pop_back(); }
    // The registry has given the object a name once: from now on it is served.
    void publish(uint32_t handle) {
        if (handle > 0 && handle <= objects_.size()) objects_[handle - 1].published = true;
    }
    // The object `handle` names; null for one never added or never published.
    IBinder* find(uint32_t handle) const override {
        if (handle == 0 || handle > objects_.size() || !objects_[handle - 1].published) {
            return nullptr;
        }
        return objects_[handle - 1].object.get();
    }
    // The handle of a published `object`; 0 for any other. Few objects a host: a look
    // through them all.
    uint32_t handleOf(const IBinder* object) const override {
        for (size_t i = 0; i < objects_.size(); ++i) {
            const IBinder* each = objects_[i].object.get();
            if (each == object && objects_[i].published) return static_cast<uint32_t>(i + 1);
        }
        return 0;
    }

  private:
    struct Entry {
        sp<LocalObject> object;
        bool published;
    };
    std::vector<Entry> objects_;
};

}  // namespace zorlek
