// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/base/ibinder.h"
#include "platform/base/refbase.h"
#include "platform/text/string16.h"
#include "platform/text/vector.h"

namespace zorlek {

// Who holds a registered name, as the kernel reported the holding process to the registry
// when it connected.
struct ServiceHolder {
    int32_t pid = 0;
    uint32_t uid = 0;
    uint32_t gid = 0;
    // When the name was registered, in milliseconds since the epoch.
    int64_t sinceMs = 0;
    // Every name the holder holds through the same registry connection, this one among
    // them, in code-unit order.
    Vector<String16> names;
};

// The registry of named services, as a client sees it.
//
// Threads: everything obtained from one ServiceManager (the objects it looks up, their
// calls) is used from one thread at a time. A program that calls from several threads
// takes one ServiceManager per thread (defaultServiceManager() makes a new one each
// time).
class ServiceManager : public RefBase {
  public:
    // The object registered under exactly `name`, or null when there is none (or the
    // registry cannot be asked). The caller holds the returned reference.
    virtual sp<IBinder> lookupService(const String16& name) = 0;
    // Every registered name, sorted by code units; empty when the registry cannot be
    // asked.
    virtual Vector<String16> listServiceNames() = 0;

    // As lookupService, telling why nothing came back: 0 with the object in `out`;
    // -ENOENT when no such name is registered; or why the registry could not answer
    // (-EPIPE, -ETIMEDOUT, -EBADMSG, -ECONNREFUSED, ...) or would not (-EAGAIN, -EMFILE,
    // ...). The base class tells only 0 and -ENOENT.
    virtual status_t lookup(const String16& name, sp<IBinder>* out) {
        *out = lookupService(name);
        return *out ? OK : -ENOENT;
    }

    // As listServiceNames(), telling why nothing came back: 0 with every name in `out`, or
    // the failure with `out` empty (never a partial listing). The base class has no
    // failures to tell: it gives the names listServiceNames() gives, and 0.
    virtual status_t list(Vector<String16>* out) {
        *out = listServiceNames();
        return OK;
    }

    // Who holds `name`: 0 with `out` filled; -ENOENT when no such name is registered;
    // -EOPNOTSUPP when the registry does not tell (one built before it could); or why the
    // registry could not answer, as lookup() tells it. With `object`, also looks the name
    // up as lookup() would, in the same round trip where the registry allows (null when
    // that lookup gave nothing). The base class does not tell.
    virtual status_t holderOf(const String16& /*name*/, ServiceHolder* /*out*/,
                              sp<IBinder>* object = nullptr) {
        if (object != nullptr) *object = nullptr;
        return -EOPNOTSUPP;
    }

    // For a program that passed objects of its own to services (Parcel::writeStrongBinder),
    // so that their calls back, and the notices it asked for (IBinder::notifyWhenGone), are
    // served in the program's own event loop (GLib, asio, sd-event, a plain poll): watch
    // pollDescriptor() for POLLIN, wait at most pollTimeoutMs() (-1: no bound; 0: work is
    // ready), then call dispatch() from the thread that uses this ServiceManager. No thread
    // of the library's own runs them. Calls back are also served while a call made through
    // this ServiceManager waits for its reply. -1 when no descriptor can be had.
    virtual int pollDescriptor() { return -1; }
    virtual int pollTimeoutMs() { return -1; }
    // Does the work that is ready, without waiting: serves the calls back that have come,
    // takes releases, ends the channels whose hosts went and tells their notices. 0, or the
    // -errno of the readiness check itself.
    virtual status_t dispatch() { return OK; }

    // Looks up names[0] .. names[count - 1] and sets out[i] as lookupService(names[i])
    // would. Returns 0 when the registry answered every lookup (a name it has no object
    // for, or refused, gives null); else the registry's failure, with out[i] set for the
    // names before `*answered` and null from there on. The registry client asks for many
    // at once before it waits for the answers; the base class asks one at a time.
    virtual status_t lookupServices(const String16* names, size_t count, sp<IBinder>* out,
                                    size_t* answered) {
        *answered = 0;
        for (size_t i = 0; i < count; ++i) out[i] = nullptr;
        for (size_t i = 0; i < count; ++i) {
            status_t status = lookup(names[i], &out[i]);
            if (status != OK && status != -ENOENT && status != -EAGAIN) return status;
            *answered = i + 1;
        }
        return OK;
    }
};

// Connects to the registry at $ZORLEK_REGISTRY (when set and not empty), else at
// /run/zorlek/registry.sock, and completes the opening handshake. Null when nothing
// answers there as a registry within the call timeout ($ZORLEK_CALL_TIMEOUT_MS,
// default 10000). Each call makes a new connection.
sp<ServiceManager> defaultServiceManager();

// Waits until every one of names[0] .. names[count - 1] is registered at one moment (with
// `gone`: until none is) at the registry at $ZORLEK_REGISTRY, which answers when that
// happens: nothing polls. Waits through a registry that is not there yet or restarts,
// connecting again as services do (a pause growing to 250 ms between tries). `timeoutMs`
// bounds the whole wait; a negative one waits without bound. Returns 0 once it held;
// -ETIMEDOUT with `*pending` the index of the first name still missing (still there, with
// `gone`); -EINVAL with `*pending` the index of a name no registry accepts; -E2BIG for more
// names than one request holds (4 KiB of them); -EOPNOTSUPP from a registry that cannot
// wait; or the registry's refusal (-EUSERS, -EPROTONOSUPPORT, ...).
status_t waitForServices(const String16* names, size_t count, bool gone, int timeoutMs,
                         size_t* pending);

// The version of the registry protocol this library speaks.
int32_t protocolVersion();

}  // namespace zorlek
