// SPDX-License-Identifier: Apache-2.0
#include "platform/hosting/service_host.h"

#include <cstring>

#include "platform/base/deadline.h"
#include "platform/base/registry_path.h"
#include "platform/hosting/channel_server.h"
#include "platform/hosting/registry_link.h"
#include "platform/transport/wire.h"

namespace zorlek {

class ServiceHost::Impl {
  public:
    explicit Impl(const HostOptions& hostOptions)
        : options(hostOptions),
          channels(loop, options, objects),
          link(loop, objects, channels, options) {}

    HostOptions options;
    EventLoop loop;
    ObjectTable objects;
    ChannelServer channels;
    RegistryLink link;
};

ServiceHost::ServiceHost(const HostOptions& options) : impl_(std::make_unique<Impl>(options)) {}

ServiceHost::ServiceHost(int timeoutMs)
    : ServiceHost([timeoutMs] {
          HostOptions options;
          options.timeoutMs = timeoutMs;
          options.registryWaitMs = timeoutMs;
          return options;
      }()) {}

ServiceHost::~ServiceHost() = default;

status_t ServiceHost::connect() {
    return connect(registryPath());
}

status_t ServiceHost::connect(const char* path) {
    if (impl_->loop.initStatus() != OK) return impl_->loop.initStatus();
    if (impl_->loop.dispatching()) return -EDEADLK;
    // A registry started after its services is waited for, as after a restart: with a
    // growing pause between tries, within the bound. Every wait is in the loop, so that
    // stop() ends it at once.
    Deadline deadline = Deadline::after(impl_->options.registryWaitMs);
    int pauseMs = kFirstReconnectPauseMs;
    for (;;) {
        status_t status = impl_->link.connect(path);
        if (status != -ENOENT && status != -ECONNREFUSED && status != -EAGAIN) return status;
        int left = impl_->options.registryWaitMs > 0 ? deadline.remainingMs() : 0;
        if (left == 0) return status == -EAGAIN ? -ETIMEDOUT : status;
        status_t waited = impl_->loop.runOnce(pauseMs < left ? pauseMs : left);
        if (waited != OK) return waited;
        pauseMs = doubledPause(pauseMs, kMaxReconnectPauseMs);
    }
}

status_t ServiceHost::addService(const String16& name, const sp<LocalObject>& object) {
    if (impl_->loop.dispatching()) return -EDEADLK;
    if (!object || name.size() == 0 || name.size() > kMaxNameUnits) return -EINVAL;
    // Stays positive until the answer (or the loss of the connection) sets it.
    status_t result = 1;
    status_t status = impl_->link.add(name, object, &result);
    if (status != OK) return status;
    Deadline deadline = Deadline::after(impl_->options.timeoutMs);
    while (result == 1) {
        int left = deadline.remainingMs();
        if (left == 0) {
            impl_->link.disconnect(-ETIMEDOUT);
            break;
        }
        status = impl_->loop.runOnce(left);
        // Stopped, or the loop failed: the answer no longer has anyone waiting for it.
        if (status != OK && result == 1) result = status;
    }
    if (result != OK) impl_->link.settleFailed(&result);
    return result;
}

status_t ServiceHost::serve() {
    if (impl_->loop.initStatus() != OK) return impl_->loop.initStatus();
    if (impl_->loop.dispatching()) return -EDEADLK;
    impl_->link.setServing(true);
    status_t status = impl_->loop.run();
    impl_->link.setServing(false);
    return status;
}

void ServiceHost::stop() {
    impl_->loop.stop();
}

bool ServiceHost::isRegistered(const String16& name) const {
    return impl_->link.isRegistered(name);
}

const String8& ServiceHost::refusalReason() const {
    return impl_->link.refusalReason();
}

HostTimer::HostTimer(ServiceHost& host, std::function<void()> fire)
    : timer_(std::make_unique<Timer>(host.impl_->loop, std::move(fire))) {}

HostTimer::~HostTimer() = default;

void HostTimer::armIn(int64_t ms) {
    timer_->armIn(ms < 0 ? 0 : ms);
}

void HostTimer::disarm() {
    timer_->disarm();
}

bool HostTimer::armed() const {
    return timer_->armed();
}

const char* describeHostStatus(status_t status) {
    switch (status) {
        case OK:
            return "success";
        case -EINVAL:
            return "the name is not valid (1 to 256 UTF-16 code units, no control characters)";
        case -EEXIST:
            return "the name is already registered";
        case -EPERM:
            return "this user may not hold the name";
        case -ENOENT:
        case -ECONNREFUSED:
            return "no registry is running";
        case -EPROTO:
            return "the peer is not a registry";
        case -EPROTONOSUPPORT:
            static_assert(kProtocolVersion == 4, "the text names this version");
            return "the registry speaks another version of the protocol than this program's (4)";
        case -EPIPE:
            return "the registry closed the connection";
        case -ETIMEDOUT:
            return "the registry did not answer in time";
        case -ENOTCONN:
            return "not connected to the registry";
        case -EINTR:
            return "stopped";
        case -EDEADLK:
            return "called from inside a call this host is handling";
        case -ENAMETOOLONG:
            return "the registry's socket path is too long";
        case -EUSERS:
            return "this user holds as many registry connections as it may";
        case -EMFILE:
            return "the registry keeps its last descriptors for others";
        case -EDQUOT:
            return "this connection holds as many names as it may";
        default:
            return std::strerror(-status);
    }
}

}  // namespace zorlek
