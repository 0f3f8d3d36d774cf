// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>

#include "commands/limits.h"
#include "commands/tool_state.h"

namespace zorlek {

// The commands the driver dispatches to. Each starts with the cursor on its first
// argument, its options read into state.options and its count of arguments checked
// (driver/command_table.h), writes its results to aout and its error lines to aerr, and
// reports back only through state.exitStatus and state.usageRequested.

// check SERVICE: prints whether SERVICE is registered; a registry that cannot answer the
// lookup is an error line and EXIT_NO_SERVICE_MANAGER.
void runCheck(ToolState& state);
// list: prints every registered name with its object's interface descriptor. A listing
// the registry cuts short, or lookups it fails to answer, are an error line (after the
// lines already printed) and EXIT_NO_SERVICE_MANAGER.
void runList(ToolState& state);
// call SERVICE CODE [typed arguments]: sends one transaction and prints the reply's dump.
void runCall(ToolState& state);
// status [--json] SERVICE: who holds SERVICE, as the registry and /proc tell: its
// descriptor, pid, user, group, command line, unit, since when, and its other names. A
// name not registered is an error line and EXIT_USAGE.
void runStatus(ToolState& state);
// wait [--timeout SECONDS] [--gone] SERVICE...: returns once every SERVICE is registered
// (with --gone: none is), through a registry that is not there yet or restarts; after the
// timeout "zorlek: Timed out waiting for SERVICE" (the first one still missing) and
// EXIT_USAGE. Works without the driver's registry: it connects by itself.
void runWait(ToolState& state);
// describe [--interface FILE.zi] SERVICE: prints the interface SERVICE implements, in its
// canonical text, escaped line by line as list escapes names.
void runDescribe(ToolState& state);
// invoke [--raw] [--interface FILE.zi] SERVICE METHOD [ARG...]: calls METHOD by name with
// typed arguments (NAME=VALUE, or bare values in the declared order), checked before
// anything is sent, and prints the reply's fields as one JSON object (with --raw, as call
// prints the reply). Failures are one error line and EXIT_USAGE.
void runInvoke(ToolState& state);
// names: every registered name, one a line, escaped as list escapes them, and no more
// lines than fit kMaxNamesBytes; no lookup and no descriptor query. Made for the shell's
// completion, which must not wait on services. A listing that fails is an error line and
// EXIT_NO_SERVICE_MANAGER.
void runNames(ToolState& state);

// monitor [--json] [--payload] [--snaplen BYTES] [--count N] [--timeout SECONDS] [--wait]
// SERVICE...: a line (or a JSON object) for each call to each SERVICE, read from a tap the
// registry grants, until the count, the timeout, SIGINT or SIGTERM (status 0) or until
// every SERVICE is gone (status EXIT_USAGE). A refusal, or a name not registered (without
// --wait), is an error line and EXIT_USAGE.
void runMonitor(ToolState& state);
// capture [the options of monitor] SERVICE...: the same records, with their payloads, as a
// pcapng file on standard output, which must not be a terminal.
void runCapture(ToolState& state);

}  // namespace zorlek
