// SPDX-License-Identifier: Apache-2.0
// How the registry meets a service manager such as systemd without linking its library:
// it takes a listening socket that the manager opened for it (socket activation) and
// tells the manager when it is ready to serve.
#pragma once

#include "platform/base/status.h"
#include "platform/base/unique_fd.h"
#include "platform/text/string8.h"

namespace zorlek::registry {

// Takes the listening socket handed over in descriptor 3 when LISTEN_PID names this
// process and LISTEN_FDS is 1. Clears LISTEN_PID, LISTEN_FDS and LISTEN_FDNAMES either
// way, so that they reach no child. Returns 0 with `out` left empty when nothing was
// handed (unset, or meant for another process); 0 with the socket in `out`, made
// non-blocking and close-on-exec, when it is a listening Unix stream socket; otherwise a
// negative errno with a one-line explanation in `error` (without a program prefix).
status_t takeHandedSocket(unique_fd* out, String8* error);

// Sends "READY=1" to the datagram socket named by NOTIFY_SOCKET (a path, or an abstract
// name written with a leading '@'). Returns 0 at once when NOTIFY_SOCKET is unset or
// empty, 0 once sent, or a negative errno with a one-line explanation in `error`.
status_t notifyReady(String8* error);

}  // namespace zorlek::registry
