#pragma once

#include "platform/ipc/ibinder.h"
#include "platform/ipc/parcel.h"
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
    // none.
    explicit LocalObject(String16 descriptor);

    // The interface descriptor given at construction.
    const String16& descriptor() const { return descriptor_; }

    // Handles one transaction: reads the request from `data` (positioned at its start),
    // writes the answer into `reply` (empty on entry) and returns the status (0 for
    // success, else a negative errno, or any value the interface defines). For a one-way
    // call (FLAG_ONEWAY in `flags`) the reply is thrown away. The base implementation
    // answers DESCRIPTOR_QUERY_CODE with status 0 and the descriptor as a UTF-16 string,
    // and every other code with -EBADRQC.
    virtual status_t onTransact(uint32_t code, Parcel& data, Parcel* reply, uint32_t flags);

    // Calls onTransact in this process with a copy of `data`. `reply` may be null.
    // After a non-zero status the reply is empty; a withheld reply gives -ETIMEDOUT, as
    // a remote caller would see it.
    status_t sendTransaction(uint32_t code, const Parcel& data, Parcel* reply,
                             uint32_t flags) override;

    // For the serving loop: true when the transaction just handled withheld its reply,
    // and clears that mark.
    bool takeReplyWithheld();

  protected:
    // Called from onTransact: send no reply at all to the transaction being handled
    // (whatever status is returned), so that the caller waits until its timeout (after
    // which its proxy counts the channel as dead). Meant for services that stand in for
    // a hung one in tests and demonstrations.
    void withholdReply() { replyWithheld_ = true; }

  private:
    String16 descriptor_;
    bool replyWithheld_ = false;
};

}  // namespace zorlek
