// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <sys/types.h>

#include "platform/base/ibinder.h"
#include "platform/base/parcel.h"
#include "platform/text/string16.h"

namespace zorlek {

// An object implemented in this process: the base class of every service.
//
// A service derives from LocalObject, overrides onTransact for its own codes and falls
// back to LocalObject::onTransact for the rest. It is offered to other processes by
// ServiceHost::addService; calls from this process go straight to onTransact through
// sendTransaction. Transactions are handled one at a time on the thread that serves
// the object (ServiceHost::serve), so onTransact needs no locking of its own.
class LocalObject : public IBinder {
  public:
    // `descriptor` names the interface the object implements; the empty string means
    // none. `description`, when not empty, describes that interface in the interface
    // description language (a .zi file's text, whose interface is named `descriptor`:
    // callers by name send that name as the token; zorlek-idl's generated classes pass
    // theirs) and is the answer to INTERFACE_QUERY_CODE; without one that query gets
    // -EBADRQC.
    explicit LocalObject(String16 descriptor, String16 description = String16());

    // The interface descriptor and description given at construction.
    const String16& descriptor() const { return descriptor_; }
    const String16& description() const { return description_; }

    // Handles one transaction: reads the request from `data` (positioned at its start),
    // writes the answer into `reply` (empty on entry) and returns the status (0 for
    // success, else a negative errno, or any value the interface defines). For a one-way
    // call (FLAG_ONEWAY in `flags`) the reply is thrown away. The base implementation
    // answers DESCRIPTOR_QUERY_CODE with status 0 and the descriptor as a UTF-16 string,
    // INTERFACE_QUERY_CODE likewise with the description (-EBADRQC when there is none),
    // and every other code with -EBADRQC. When a write into `reply` failed (its status()
    // is not 0, e.g. -EMSGSIZE past 1 MiB), the caller gets that status and an empty
    // reply, whatever is returned.
    status_t onTransact(uint32_t code, Parcel& data, Parcel* reply, uint32_t flags) override;

    // This object: it lives in this process.
    LocalObject* localObject() override { return this; }

    // Calls onTransact in this process with a copy of `data`. `reply` may be null.
    // After a non-zero status the reply is empty; a reply whose building failed gives
    // that failure (see Parcel::status()), as a remote caller would see it.
    status_t sendTransaction(uint32_t code, const Parcel& data, Parcel* reply,
                             uint32_t flags) override;

    // Who sent the transaction being handled, for onTransact to decide whom to serve: the
    // uid and pid of the process that sent this very call, as the kernel reports it with
    // the message (so a process that inherited or was handed the channel is named, not the
    // one that looked the name up). A call from this process (sendTransaction on a
    // LocalObject) gives this process's own; outside onTransact the same.
    static uid_t callingUid();
    static pid_t callingPid();

  private:
    String16 descriptor_;
    String16 description_;
};

}  // namespace zorlek
