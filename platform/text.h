// The text surface: UTF-16 and 8-bit strings, the typed vector and the two output
// streams. Programs and commands include this header rather than the parts below.
#pragma once

#include "platform/text/string16.h"
#include "platform/text/string8.h"
#include "platform/text/text_output.h"
#include "platform/text/vector.h"
