// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <functional>
#include <memory>

#include "platform/base/call_timeout.h"
#include "platform/base/limits.h"
#include "platform/base/status.h"
#include "platform/hosting/host_options.h"
#include "platform/hosting/local_object.h"
#include "platform/text/string16.h"
#include "platform/text/string8.h"

namespace zorlek {

class Timer;

// Offers LocalObjects to other processes under registered names, and serves their
// transactions on one thread.
//
//     ServiceHost host;
//     status_t status = host.connect();                  // to $ZORLEK_REGISTRY
//     if (status == OK) status = host.addService(String16("my.name"), make<MyObject>());
//     if (status != OK) { report describeHostStatus(status); exit }
//     host.serve();                                       // until host.stop()
//
// The serving loop watches the registry connection and the channel of every client
// process that looked a name of this host up: one channel a client, on which it calls
// any of the host's objects by the handle the registry gave it. The calls read at once
// are handled in turn and their replies leave together, each naming the call it answers,
// so a reply held back holds back no other. The loop never blocks on one peer: replies
// that a client does not read wait in that channel's queue (and the channel is not read
// while much waits), a channel that sends malformed bytes is closed, a closed one is
// noticed and dropped. One-way calls get no reply. A reply whose building failed (its
// status() is not 0, e.g. -EMSGSIZE past 1 MiB) is answered with that status and an empty
// reply.
//
// When the registry connection breaks (the registry restarted), serve() connects again
// with a growing pause between tries (capped at 250 ms) and registers every name anew.
// A name refused then (taken meanwhile by someone else) is asked for again and again,
// with a growing pause, and HostOptions::onRegistrationRefused is told.
//
// Not thread-safe, except stop(), which may be called from a signal handler.
class ServiceHost {
  public:
    explicit ServiceHost(const HostOptions& options = HostOptions());
    // `timeoutMs` bounds each wait for the registry's answers.
    explicit ServiceHost(int timeoutMs);
    ~ServiceHost();
    ServiceHost(const ServiceHost&) = delete;
    ServiceHost& operator=(const ServiceHost&) = delete;

    // Connects to the registry at registryPath() (or at `path`) and completes the
    // handshake, waiting up to HostOptions::registryWaitMs for a registry that is not
    // there yet. Returns 0, or -ENOENT / -ECONNREFUSED (no registry there in time),
    // -ETIMEDOUT, -EPROTO (the peer is not a registry), -EUSERS / -EMFILE (refused by the
    // registry), -EPROTONOSUPPORT (a registry of another protocol version), -EISCONN
    // (already connected), -EINTR (stop() came while waiting: every wait, the handshake's
    // included, ends at once), -EDEADLK (called from inside onTransact), -errno.
    status_t connect();
    status_t connect(const char* path);

    // Registers `object` under `name` and waits (bounded) for the registry's answer,
    // serving meanwhile. Returns 0; -EINVAL for a name the registry does not accept (or
    // a null object); -EEXIST when the name is held (also by this host); -EPERM when
    // this user may not register; -EPIPE / -ETIMEDOUT when the registry is gone or
    // silent (the wait is bounded from when the request went out, whatever else the
    // registry sends meanwhile); -ENOMEM when no memory could be had for the request
    // (nothing was sent; the name may be added again); -ENOTCONN before connect();
    // -EINTR when stop() came first; -EDEADLK when called from inside onTransact, where
    // the host is busy handling a call (nothing is done then). Call it before serve() or
    // between two serve() calls.
    status_t addService(const String16& name, const sp<LocalObject>& object);

    // Serves until stop(). Returns 0 after stop(), -EDEADLK when called from inside
    // onTransact (the host already serves), or a negative errno when the loop itself
    // failed. A stop() that came before serve() makes it return at once.
    status_t serve();

    // Makes the running (or the next) serve() return. Async-signal-safe.
    void stop();

    // True when `name` was added and the registry currently holds it for this host.
    bool isRegistered(const String16& name) const;

    // What the registry said of the last registration it refused (-EPERM): who may hold
    // the name, or that no policy line grants it; made safe to print. Empty when it said
    // nothing. For a program's error line after addService or onRegistrationRefused.
    const String8& refusalReason() const;

  private:
    friend class HostTimer;
    class Impl;
    std::unique_ptr<Impl> impl_;
};

// Wakes a service on its host's serving loop after a delay: `fire` is called there, between
// two calls, never inside one (so it may call out, hold or drop objects, and arm the timer
// again). Owned by the service; disarmed on destruction; must not outlive its host, and must
// not be destroyed from inside its own `fire`.
//
//     HostTimer timer(host, [&] { tickAll(); timer.armIn(100); });
//     timer.armIn(100);
class HostTimer {
  public:
    HostTimer(ServiceHost& host, std::function<void()> fire);
    ~HostTimer();
    HostTimer(const HostTimer&) = delete;
    HostTimer& operator=(const HostTimer&) = delete;

    // Fires once `ms` milliseconds from now (a negative delay: as soon as the loop runs);
    // replaces an earlier arming. Fires only while the host serves (serve(), or the waits
    // of connect() and addService()).
    void armIn(int64_t ms);
    void disarm();
    bool armed() const;

  private:
    std::unique_ptr<Timer> timer_;
};

// A short English text for a status from ServiceHost (e.g. "the name is already
// registered" for -EEXIST), for a program's error line.
const char* describeHostStatus(status_t status);

}  // namespace zorlek
