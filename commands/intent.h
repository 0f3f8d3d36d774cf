// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "commands/tool_state.h"

namespace zorlek {

// The intent record that the "intent" argument of call builds from key=value arguments.
// Text fields view characters of the argument vector, which outlives the record.
struct IntentRecord {
    std::optional<std::string_view> action;
    std::optional<std::string_view> data;
    std::optional<std::string_view> type;
    int32_t launchFlags = 0;
    std::optional<std::string_view> component;
    // In command-line order; any number.
    std::vector<std::string_view> categories;
};

// Reads key=value arguments from the cursor on into `record` (which starts as
// IntentRecord{}). Each argument is split at '=' as strtok_r splits it: the first piece
// is the key, the second the value (absent when there is none), the rest is ignored.
// Keys: action, data, type, component (a missing value makes the field absent),
// launchFlags (read as parseInteger32 reads; a missing value gives 0), categories (the
// value split at ',' as strtok_r splits, empty pieces skipped; replaces earlier ones; a
// missing value clears them). Other keys are ignored. Stops, without consuming it, at
// the first argument with no key (empty or only '='), or at the end.
// A launchFlags value out of range writes "zorlek: integer out of range for
// 'launchFlags': VALUE" to aerr and returns false with the cursor on that argument.
bool readIntentArguments(ToolState& state, IntentRecord* record);

// Writes the record's seven items: action, data, type (each a UTF-16 string, or the
// 32-bit -1 when absent), launchFlags, component (as the texts), the number of
// categories followed by each category as a UTF-16 string, then the 32-bit -1.
void writeIntentRecord(Parcel& request, const IntentRecord& record);

}  // namespace zorlek
