// SPDX-License-Identifier: Apache-2.0
#include "commands/monitor/watch.h"

#include <unistd.h>

#include <cstring>

#include "commands/commands.h"
#include "commands/limits.h"
#include "commands/monitor/pcapng.h"
#include "commands/monitor/stop_signals.h"
#include "platform/text.h"

namespace zorlek {
namespace {

// What names the tool in a capture's header.
constexpr char kApplication[] = "zorlek " ZORLEK_VERSION;

// The services named from the cursor on; false after the line that says there are too many.
bool readServices(ToolState& state, std::vector<WatchedService>* out) {
    if (static_cast<size_t>(state.argc - state.cursor) > kMaxMonitoredServices) {
        aerr << "zorlek: Too many services to monitor at once (at most "
             << static_cast<uint32_t>(kMaxMonitoredServices) << ")" << endl;
        state.exitStatus = EXIT_USAGE;
        return false;
    }
    for (; state.hasArg(); ++state.cursor) {
        WatchedService& s = out->emplace_back();
        s.typed = state.arg();
        s.name = String16(s.typed);
        s.shown = narrowForDisplay(s.name);
    }
    return true;
}

void runWatch(ToolState& state, bool capture) {
    WatchOptions options;
    if (!readWatchOptions(state, capture, &options)) return;
    if (capture && isatty(STDOUT_FILENO)) {
        aerr << "zorlek: Not writing a capture to a terminal: redirect standard output to a file"
             << endl;
        state.exitStatus = EXIT_USAGE;
        return;
    }
    std::vector<WatchedService> services;
    if (!readServices(state, &services)) return;
    // The header first, so that a capture that ends before any call is still one.
    if (capture) {
        Parcel header;
        appendCaptureHeader(&header, kApplication);
        aout.write(reinterpret_cast<const char*>(header.data()), header.dataSize());
        aout.flush();
    }
    StopSignals signals;
    bool ended = false;
    if (!openTaps(state, options, services, &ended) || ended) return;
    status_t held = signals.hold();
    if (held != OK) {
        aerr << "zorlek: Unable to watch for signals: " << std::strerror(-held) << endl;
        state.exitStatus = EXIT_USAGE;
        return;
    }
    watchTaps(state, options, services, signals.fd());
}

}  // namespace

std::string_view WatchedService::methodOf(uint32_t code) const {
    for (const idl::Method& method : methods) {
        if (method.code == code) return method.name;
    }
    return {};
}

void runMonitor(ToolState& state) {
    runWatch(state, false);
}

void runCapture(ToolState& state) {
    runWatch(state, true);
}

}  // namespace zorlek
