// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>

#include "platform/hosting.h"

namespace zorlek::echo {

// How the echo object treats transactions.
enum class Behaviour {
    kAnswer,      // answers everything
    kHang,        // never replies, not even to the descriptor query
    kHangCalls,   // answers the descriptor query, never replies to anything else
    kExitOnCall,  // exits the process (status 0) at the first other transaction
};

struct EchoConfig {
    // The descriptor answered to the descriptor query.
    String16 descriptor{u"zorlek.IEcho"};
    // Answer the descriptor query with -EBADRQC (the reply still holds "zorlek.IEcho").
    bool noDescriptor = false;
    // The status of every answer other than the descriptor query.
    int32_t status = 0;
    Behaviour behaviour = Behaviour::kAnswer;
};

// The object zorlek-echo registers: it answers every transaction code except the
// descriptor query with a reply holding the code as a 32-bit integer followed by exactly
// the request's bytes, and the status configured.
class EchoObject : public LocalObject {
  public:
    explicit EchoObject(EchoConfig config);

    status_t onTransact(uint32_t code, Parcel& data, Parcel* reply, uint32_t flags) override;

  private:
    EchoConfig config_;
};

}  // namespace zorlek::echo
