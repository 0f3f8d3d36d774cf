// SPDX-License-Identifier: Apache-2.0
// What `monitor` and `capture` share: their options, the services they watch, and the
// steps of a watch (commands/monitor.cpp runs them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "commands/monitor/record_format.h"
#include "commands/tool_state.h"
#include "idl/model.h"
#include "platform/base/deadline.h"
#include "platform/ipc/tap_reader.h"

namespace zorlek {

struct WatchOptions {
    // capture: pcapng on standard output rather than lines of text or JSON.
    bool capture = false;
    RecordStyle style;
    // --count: the calls after which the watch ends (0: no bound).
    uint64_t count = 0;
    // --timeout: when the watch ends (bounded only when `timed`).
    bool timed = false;
    Deadline deadline;
    // --wait: a service not registered yet is waited for.
    bool wait = false;
};

// One service watched: its name as typed and as shown, its object's handle at its host,
// the methods its description names (none when it does not describe itself), and its tap
// once the registry granted one.
struct WatchedService {
    const char* typed = nullptr;
    String16 name;
    String8 shown;
    uint32_t handle = 0;
    std::vector<idl::Method> methods;
    std::unique_ptr<TapReader> tap;

    // The name of the method with `code`; empty when none is known.
    std::string_view methodOf(uint32_t code) const;
};

// Reads the options of the command line into `out`; false after writing the line that says
// what is wrong (and requesting the usage text).
bool readWatchOptions(ToolState& state, bool capture, WatchOptions* out);

// Asks each service's description (all at once) and then a tap of each, in order. With
// options.wait, services not registered are waited for first (and again should one go
// before its tap is granted), until the deadline. False after writing the line that says
// why and setting the exit status; true, with `*ended` set, when the deadline passed
// first (nothing more to do).
bool openTaps(ToolState& state, const WatchOptions& options, std::vector<WatchedService>& services,
              bool* ended);

// Reads every tap until the count or the deadline is reached, SIGINT or SIGTERM arrives
// (`signals` is the descriptor that tells them), standard output fails, or every service
// is gone, writing what options ask. Sets the exit status: EXIT_USAGE when a service
// went or sent what no host sends.
void watchTaps(ToolState& state, const WatchOptions& options, std::vector<WatchedService>& services,
               int signals);

}  // namespace zorlek
