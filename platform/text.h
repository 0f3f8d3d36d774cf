// SPDX-License-Identifier: Apache-2.0
// The text surface: UTF-16 and 8-bit strings, the typed vector, the two output streams,
// and the narrowing of untrusted UTF-16 text for display. Programs and commands include
// this header rather than the parts below.
#pragma once

#include "platform/text/narrow.h"
#include "platform/text/string16.h"
#include "platform/text/string8.h"
#include "platform/text/text_output.h"
#include "platform/text/vector.h"
