// SPDX-License-Identifier: Apache-2.0
// `invoke ... ARG=@`: the tool hosts an object of ARG's interface, passes it, and prints each
// call the object then gets as one line of JSON, {"method": NAME, "args": {...}}.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "commands/tool_state.h"
#include "commands/typed/values.h"
#include "commands/typed_service.h"
#include "platform/ipc.h"

namespace zorlek {

// Makes the tool's objects and prints what they are called with. Calls that come before
// the reply is printed (those that come with it, or while it is awaited) are held, up to
// kMaxHeldEvents, and printed after it; every call is counted. A two-way call is answered
// -EOPNOTSUPP: the tool has nothing to say.
class EventSink final : public typed::ObjectMaker {
  public:
    explicit EventSink(const TypedService& typed) : typed_(typed) {}
    sp<IBinder> make(const idl::Interface& interface) override;
    bool madeAny() const { return made_; }

    // A call to one of the tool's objects of `interface`.
    void received(const idl::Interface& interface, uint32_t code, const Parcel& request);
    // Prints the calls held, and each later one as it comes.
    void release();
    uint64_t calls() const { return calls_; }

  private:
    struct Held {
        const idl::Interface* interface;
        uint32_t code;
        Parcel request;
    };
    void print(const idl::Interface& interface, uint32_t code, Parcel request);

    const TypedService& typed_;
    bool made_ = false;
    bool holding_ = true;
    uint64_t calls_ = 0;
    std::vector<Held> held_;
};

// After the reply of a call that passed the tool's objects: serves them until `count` calls
// (0: no bound), `timeoutMs` (negative: none), SIGINT or SIGTERM, or the service going.
// Sets the exit status: 0; EXIT_USAGE with "zorlek: Timed out waiting for SERVICE" or
// "zorlek: SERVICE is gone".
void serveEvents(ToolState& state, const TypedService& typed, EventSink& sink, const char* service,
                 uint64_t count, int timeoutMs);

}  // namespace zorlek
