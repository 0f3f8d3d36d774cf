// SPDX-License-Identifier: Apache-2.0
// zorlek-abuse's attacks on the seams of the registry and its hosts (abuse_seams.cpp), and
// what they share with the others (abuse.cpp).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/base/unique_fd.h"
#include "tests/support/bytes.h"
#include "tests/support/lingering_socket.h"

namespace zorlek::test {

// A lookup of `name`, as its bytes on the wire.
Bytes lookupOf(const char* name);

// Looks `name` up on `count` connections in turn, keeping each channel: a connection
// brings one channel to a host, and the channel outlives it. A lookup refused for a busy
// host is asked again for `patienceMs`; the lookups that brought no channel are counted in
// `*refused`.
std::vector<unique_fd> channels(const char* name, int count, int patienceMs, int* refused);

// Registrations of PREFIX.0, PREFIX.1, ... for `seconds`: on one connection, 64 at a time,
// or (`churn`) each on a connection of its own that leaves once answered. Prints how many
// were answered, and how many taken.
int registerFor(const char* prefix, int seconds, bool churn);

// The greetings (`what` "greeting"), lookups of `name` ("lookup") or requests of the type
// that carries a channel's end ("channel") of the linger attack, sent on two connections
// before the registry reads, each with one of `lingering[0..1]`: the greeting on a second
// connection of the user, the requests once read and once behind a malformed one. The
// connections stay in `held`. The number of descriptors the kernel carried, or -1.
int lingerAtTheRegistry(const std::string& what, const char* name, LingeringSocket* lingering,
                        std::vector<unique_fd>* held);

// Two channels to `name`, each on a registry connection of its own, kept in `held`.
bool channelsTo(const char* name, std::vector<unique_fd>* held);

// The calls (messages of `type`) of the linger attack on the two channels in `held`, once
// read and once behind a malformed call, each with one of `lingering[0..1]`. The number of
// descriptors the kernel carried, or -1.
int lingerOnChannels(const std::vector<unique_fd>& held, LingeringSocket* lingering, uint32_t type);

}  // namespace zorlek::test
