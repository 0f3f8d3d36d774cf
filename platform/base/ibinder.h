// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>

#include "platform/base/refbase.h"
#include "platform/base/status.h"

namespace zorlek {

class LocalObject;
class ObjectProxy;
class Parcel;

// The code of the interface-descriptor query: '_', 'N', 'T', 'F' packed into 32 bits
// with '_' in the most significant byte. Every hosted object answers it with status 0
// and a reply whose first item is its descriptor as a UTF-16 string.
constexpr uint32_t DESCRIPTOR_QUERY_CODE = 0x5F4E5446;

// The code of the interface-description query: '_', 'I', 'D', 'F' packed the same way. It
// takes an empty request; an object that describes its interface answers with status 0 and
// a reply whose first item is the description (in the interface description language) as
// one UTF-16 string, and an object that does not answers -EBADRQC.
constexpr uint32_t INTERFACE_QUERY_CODE = 0x5F494446;

// Transaction flag: send without waiting for a reply (the reply parcel is left empty).
constexpr uint32_t FLAG_ONEWAY = 0x1;

// Told once when the process that serves an object has gone (IBinder::notifyWhenGone).
class DeathRecipient : public RefBase {
  public:
    // Called on the loop that serves this process's objects (ServiceHost::serve, or
    // ServiceManager::dispatch for a client), never inside another call's handling.
    virtual void onGone() = 0;
};

// An object that receives transactions: a local object in this process, or a proxy
// for one hosted by another process.
class IBinder : public RefBase {
  public:
    // The object itself when it lives in this process; null for a proxy.
    virtual LocalObject* localObject() { return nullptr; }
    // The proxy when the object lives in another process; null for a local one.
    virtual ObjectProxy* remoteObject() { return nullptr; }

    // Asks to be told once, through `recipient` (held until then), when the process that
    // serves this object goes: its channel ends. Returns 0; when it has gone already, the
    // recipient is told before this returns. -EINVAL for an object of this process (it
    // never goes while held) or a null recipient; -EDQUOT past kMaxObjectsPerChannel
    // notices on one channel. A proxy's notices go with its last reference.
    virtual status_t notifyWhenGone(const sp<DeathRecipient>& recipient) {
        (void)recipient;
        return -EINVAL;
    }

    // Sends one transaction with `code` and the request `data`. With flags 0 the call
    // waits for the reply and fills `reply` (which may be null to discard it); with
    // FLAG_ONEWAY it returns once the request is sent. Returns 0 or a negative errno:
    // -EPIPE peer gone, -ETIMEDOUT no reply in time, -EMSGSIZE a parcel over 1 MiB,
    // -EBADMSG malformed reply, -EBADRQC a code the object does not handle, or the
    // object's own failure status. After any failure the reply is empty.
    virtual status_t sendTransaction(uint32_t code, const Parcel& data, Parcel* reply,
                                     uint32_t flags) = 0;

    // Handles one transaction addressed to this object (see LocalObject::onTransact, which
    // every served object overrides). Only objects of this process are ever asked; the
    // base answers -EBADRQC.
    virtual status_t onTransact(uint32_t code, Parcel& data, Parcel* reply, uint32_t flags) {
        (void)code, (void)data, (void)reply, (void)flags;
        return -EBADRQC;
    }
};

}  // namespace zorlek
