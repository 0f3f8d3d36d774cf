// SPDX-License-Identifier: Apache-2.0
// The objects that channel_server_fuzz has a host serve, and the reply each owes a call: 1
// echoes (its reply is the caller's uid and pid as the host names them, then the request),
// 2 withholds its reply, 3 fails (with a status made from the code), 4 answers with as many
// bytes as its request's first word asks (past 1 MiB, refused), 5 is added but never
// published; no other handle is ever given.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

#include "platform/hosting/object_table.h"
#include "platform/transport/message_reader.h"

namespace zorlek::fuzz {

enum : uint32_t { kEcho = 1, kWithholding, kFailing, kLarge, kUnpublished };

// The objects, added to a host's table.
class ServedObjects {
  public:
    explicit ServedObjects(ObjectTable& objects);
    // The calls that reached the object never published.
    size_t unpublishedCalls() const;

  private:
    sp<LocalObject> unpublished_;
};

// The reply the host owes a call, as its object gives it.
struct OwedReply {
    enum Kind { kEchoed, kRefused, kFailed, kLargeReply, kTooLarge, kNoObject } kind = kNoObject;
    MessageHeader call;
    ucred sender{};
    size_t size = 0;  // of the request echoed, or of the large reply
    uint64_t hash = 0;
};

// What the host owes `call`, a call sent whole with the sender of its first byte: false
// when it owes no reply (a one-way call, or one whose object withholds its reply).
bool owedFor(const Message& call, OwedReply* owed);

// Ends the run as a finding unless `reply` is the one `owed`.
void checkOwed(const OwedReply& owed, const Message& reply);

}  // namespace zorlek::fuzz
