#pragma once

#include "platform/ipc.h"
#include "platform/text.h"

namespace zorlek {

// Writes the items of a request into a parcel (not owned, must outlive the writer) and
// keeps the first write failure. Once a write has failed nothing more is written, so a
// request is either complete or known to be broken, never missing an item in the
// middle.
class RequestWriter {
  public:
    explicit RequestWriter(Parcel* parcel) : parcel_(parcel) {}

    // Each appends one item, as the Parcel call of the same name does, unless an
    // earlier write has failed.
    void writeInterfaceToken(const String16& descriptor) {
        if (status_ == OK) status_ = parcel_->writeInterfaceToken(descriptor);
    }
    void writeInt32(int32_t value) {
        if (status_ == OK) status_ = parcel_->writeInt32(value);
    }
    void writeString16(const String16& text) {
        if (status_ == OK) status_ = parcel_->writeString16(text);
    }
    // Writes a null object reference.
    void writeNullObject() {
        if (status_ == OK) status_ = parcel_->writeStrongBinder(nullptr);
    }

    // 0, or the status of the first write that failed (-EMSGSIZE past kMaxParcelSize).
    status_t status() const { return status_; }

  private:
    Parcel* parcel_;
    status_t status_ = OK;
};

}  // namespace zorlek
