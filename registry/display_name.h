#pragma once

#include "platform/text/string16.h"
#include "platform/text/string8.h"

namespace zorlek::registry {

// A name as UTF-8 for the registry's log lines: a surrogate pair becomes one character,
// a lone surrogate U+FFFD, and the control units 0x00-0x1F, 0x7F and 0x80-0x9F appear as
// \xHH, so that a name cannot move the cursor or colour a terminal showing the log.
String8 displayName(const String16& name);

}  // namespace zorlek::registry
