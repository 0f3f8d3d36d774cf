// SPDX-License-Identifier: Apache-2.0
#include "commands/invoke_events.h"

#include <poll.h>
#include <time.h>

#include <cstring>

#include "commands/limits.h"
#include "commands/monitor/stop_signals.h"
#include "platform/hosting/local_object.h"
#include "platform/text.h"

namespace zorlek {
namespace {

// The tool's object: every call goes to the sink, and a two-way one learns that the tool
// has nothing to answer.
class ToolObject final : public LocalObject {
  public:
    ToolObject(EventSink& sink, const idl::Interface& interface)
        : LocalObject(String16(interface.name.c_str())), sink_(sink), interface_(interface) {}
    status_t onTransact(uint32_t code, Parcel& data, Parcel* reply, uint32_t flags) override {
        if (code == DESCRIPTOR_QUERY_CODE) return LocalObject::onTransact(code, data, reply, flags);
        sink_.received(interface_, code, data);
        return -EOPNOTSUPP;
    }

  private:
    EventSink& sink_;
    const idl::Interface& interface_;
};

struct Gone final : DeathRecipient {
    void onGone() override { told = true; }
    bool told = false;
};

int64_t nowMs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// How long the next wait may last: until work is ready or the end, whichever is first.
int waitMs(ServiceManager& manager, int64_t end) {
    int ready = manager.pollTimeoutMs();
    if (end == INT64_MAX) return ready;
    int64_t left = end - nowMs();
    if (left < 0) left = 0;
    if (ready >= 0 && ready < left) return ready;
    return left > INT32_MAX ? INT32_MAX : static_cast<int>(left);
}

}  // namespace

sp<IBinder> EventSink::make(const idl::Interface& interface) {
    made_ = true;
    return sp<IBinder>(new ToolObject(*this, interface));
}

void EventSink::received(const idl::Interface& interface, uint32_t code, const Parcel& request) {
    ++calls_;
    if (!holding_) return print(interface, code, request);
    if (held_.size() < kMaxHeldEvents) held_.push_back({&interface, code, request});
}

void EventSink::release() {
    holding_ = false;
    for (Held& held : held_) print(*held.interface, held.code, std::move(held.request));
    held_.clear();
}

void EventSink::print(const idl::Interface& interface, uint32_t code, Parcel request) {
    // Counted first, so that a malformed call prints nothing of itself.
    const size_t limit = kInvokeJsonPerInputByte * (request.dataSize() + typed_.descriptionBytes);
    request.setDataPosition(0);
    JsonWriter counter(nullptr, limit);
    status_t status = typed::writeCallAsJson(request, interface, code, counter);
    if (status != OK) {
        aerr << "zorlek: A call to " << interface.name.c_str() << " (" << code
             << ") cannot be shown: " << std::strerror(-status) << endl;
        return;
    }
    request.setDataPosition(0);
    JsonWriter out(&aout, limit);
    typed::writeCallAsJson(request, interface, code, out);
    aout << endl;
    aout.flush();
}

void serveEvents(ToolState& state, const TypedService& typed, EventSink& sink, const char* service,
                 uint64_t count, int timeoutMs) {
    StopSignals signals;
    signals.hold();
    sp<Gone> gone = make<Gone>();
    typed.object->notifyWhenGone(gone);
    sink.release();
    const int64_t end = timeoutMs >= 0 ? nowMs() + timeoutMs : INT64_MAX;
    ServiceManager& manager = *state.serviceManager;
    while (count == 0 || sink.calls() < count) {
        if (gone->told) {
            aerr << "zorlek: " << service << " is gone" << endl;
            state.exitStatus = EXIT_USAGE;
            return;
        }
        if (end != INT64_MAX && nowMs() >= end) {
            aerr << "zorlek: Timed out waiting for " << service << endl;
            state.exitStatus = EXIT_USAGE;
            return;
        }
        pollfd fds[2] = {{manager.pollDescriptor(), POLLIN, 0}, {signals.fd(), POLLIN, 0}};
        if (::poll(fds, 2, waitMs(manager, end)) > 0 && fds[1].revents != 0) return;
        manager.dispatch();
    }
}

}  // namespace zorlek
