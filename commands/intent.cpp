// SPDX-License-Identifier: Apache-2.0
#include "commands/intent.h"

#include "commands/integer.h"
#include "commands/split.h"
#include "platform/text.h"

namespace zorlek {
namespace {

void setCategories(IntentRecord* record, std::optional<std::string_view> value) {
    record->categories.clear();
    std::string_view rest = value.value_or(std::string_view());
    while (std::optional<std::string_view> piece = nextPiece(&rest, ',')) {
        record->categories.push_back(*piece);
    }
}

// Applies one key and its value; false when a launchFlags value is out of range.
bool applyPair(IntentRecord* record, std::string_view key, std::optional<std::string_view> value) {
    if (key == "action") {
        record->action = value;
    } else if (key == "data") {
        record->data = value;
    } else if (key == "type") {
        record->type = value;
    } else if (key == "launchFlags") {
        if (!value) {
            record->launchFlags = 0;
            return true;
        }
        std::optional<int32_t> flags = parseInteger32(*value);
        if (!flags) {
            aerr << "zorlek: integer out of range for 'launchFlags': ";
            aerr.write(value->data(), value->size()) << endl;
            return false;
        }
        record->launchFlags = *flags;
    } else if (key == "component") {
        record->component = value;
    } else if (key == "categories") {
        setCategories(record, value);
    }
    return true;
}

void writeOptionalString(Parcel& request, std::optional<std::string_view> text) {
    if (text) {
        request.writeString16(String16(text->data(), text->size()));
    } else {
        request.writeInt32(-1);
    }
}

}  // namespace

bool readIntentArguments(ToolState& state, IntentRecord* record) {
    while (state.hasArg()) {
        std::string_view rest = state.arg();
        std::optional<std::string_view> key = nextPiece(&rest, '=');
        if (!key) break;
        std::optional<std::string_view> value = nextPiece(&rest, '=');
        if (!applyPair(record, *key, value)) return false;
        ++state.cursor;
    }
    return true;
}

void writeIntentRecord(Parcel& request, const IntentRecord& record) {
    writeOptionalString(request, record.action);
    writeOptionalString(request, record.data);
    writeOptionalString(request, record.type);
    request.writeInt32(record.launchFlags);
    writeOptionalString(request, record.component);
    request.writeInt32(static_cast<int32_t>(record.categories.size()));
    for (std::string_view category : record.categories) {
        request.writeString16(String16(category.data(), category.size()));
    }
    request.writeInt32(-1);
}

}  // namespace zorlek
