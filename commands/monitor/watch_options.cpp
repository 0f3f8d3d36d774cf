// SPDX-License-Identifier: Apache-2.0
#include <cstdint>

#include "commands/integer.h"
#include "commands/limits.h"
#include "commands/monitor/watch.h"
#include "platform/text.h"

namespace zorlek {
namespace {

bool invalid(ToolState& state, const char* what, const char* text) {
    aerr << "zorlek: invalid " << what << ": " << text << endl;
    state.failUsage();
    return false;
}

}  // namespace

bool readWatchOptions(ToolState& state, bool capture, WatchOptions* out) {
    out->capture = capture;
    out->style.json = state.option("--json") != nullptr;
    out->style.payload = state.option("--payload") != nullptr;
    out->style.snaplen = kDefaultSnapLength;
    out->wait = state.option("--wait") != nullptr;
    if (const char* text = state.option("--snaplen")) {
        std::optional<uint64_t> bytes = parseDecimal(text, static_cast<uint64_t>(kMaxSnapLength));
        if (!bytes) return invalid(state, "snaplen", text);
        out->style.snaplen = static_cast<uint32_t>(*bytes);
    }
    if (const char* text = state.option("--count")) {
        std::optional<uint64_t> count = parseDecimal(text, UINT64_MAX / 10);
        if (!count || *count == 0) return invalid(state, "count", text);
        out->count = *count;
    }
    if (const char* text = state.option("--timeout")) {
        std::optional<int> ms = parseSeconds(text);
        if (!ms) return invalid(state, "timeout", text);
        out->timed = true;
        out->deadline = Deadline::after(*ms);
    }
    return true;
}

}  // namespace zorlek
