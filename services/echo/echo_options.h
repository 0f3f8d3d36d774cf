// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <vector>

#include "platform/text/string16.h"
#include "platform/text/string8.h"
#include "services/echo/echo_object.h"

namespace zorlek::echo {

struct EchoOptions {
    EchoConfig config;
    // The names to register, in command-line order.
    std::vector<String16> names;
};

// Reads zorlek-echo's command line:
//   [--descriptor TEXT | --no-descriptor] [--status N]
//   [--hang | --hang-calls | --exit-on-call] NAME...
// Options come before the names (the first non-option ends them). Returns -1 when the
// program should go on with `out`; otherwise the exit status to end with at once: 0
// after -h/--help (the usage text is in `message`), 2 for a wrong command line (the error
// line is in `message`, which is empty when getopt already reported the problem).
int parseEchoOptions(int argc, char** argv, EchoOptions* out, String8* message);

// The usage text, ending with a newline.
const char* echoUsage();

}  // namespace zorlek::echo
