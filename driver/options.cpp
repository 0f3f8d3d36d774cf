// SPDX-License-Identifier: Apache-2.0
#include "driver/options.h"

#include <unistd.h>

#include <cstring>

#include "platform/text.h"

namespace zorlek {
namespace {

const OptionInfo* findOption(const CommandInfo& command, const char* word) {
    for (const OptionInfo& option : command.options) {
        if (std::strcmp(option.name, word) == 0) return &option;
    }
    return nullptr;
}

// Records `option` with `value`; given again, the last one stands.
void keep(ToolState& state, const OptionInfo& option, const char* value) {
    for (int i = 0; i < state.optionCount; ++i) {
        if (state.options[i].name == option.name) {
            state.options[i].value = value;
            return;
        }
    }
    state.options[state.optionCount++] = GivenOption{option.name, value};
}

// Reads the options from the cursor; false (its line written) on a wrong one. `ended`
// tells whether "--" ended them.
bool readOptions(const CommandInfo& command, ToolState& state, bool* ended) {
    while (!command.options.empty() && state.hasArg() && state.arg()[0] == '-' &&
           state.arg()[1] != '\0') {
        const char* word = state.arg();
        ++state.cursor;
        if (std::strcmp(word, "--") == 0) {
            *ended = true;
            return true;
        }
        const OptionInfo* option = findOption(command, word);
        if (option == nullptr) {
            aerr << "zorlek: Unknown option " << word << " of " << command.word << endl;
            return false;
        }
        if (option->value != nullptr && !state.hasArg()) {
            aerr << "zorlek: No " << option->valueNoun << " specified for " << word << " of "
                 << command.word << endl;
            return false;
        }
        keep(state, *option, option->value != nullptr ? state.argv[state.cursor++] : "");
    }
    return true;
}

bool checkCount(const CommandInfo& command, const ToolState& state) {
    int count = state.argc - state.cursor;
    int least = static_cast<int>(command.required.size());
    if (count < least) {
        aerr << "zorlek: No " << command.required[count] << " specified for " << command.word
             << endl;
        return false;
    }
    if (command.most != kAnyCount && count > command.most && !command.extraIgnored) {
        aerr << "zorlek: Too many arguments for " << command.word << ": "
             << state.argv[state.cursor + command.most] << endl;
        return false;
    }
    return true;
}

// A service name that begins with '-' is an option out of place ("wait a --timeout 1").
bool checkNames(const CommandInfo& command, const ToolState& state) {
    int count = state.argc - state.cursor;
    int names = command.names == kAllNames || command.names > count ? count : command.names;
    for (int i = state.cursor; i < state.cursor + names; ++i) {
        if (state.argv[i][0] != '-') continue;
        aerr << "zorlek: Options of " << command.word << " come before SERVICE: " << state.argv[i]
             << endl;
        return false;
    }
    return true;
}

}  // namespace

void parseOptions(ToolState& state) {
    // glibc keeps hidden state between calls; 0 makes it start afresh, so the driver can
    // run more than once in one process (in-process tests).
    optind = 0;
    // '+' stops at the first non-option: arguments are never reordered, so a negative
    // number after "i32" is never taken for an option.
    while (getopt(state.argc, state.argv, "+h?") != -1) state.usageRequested = true;
    state.cursor = optind;
}

bool readCommandLine(const CommandInfo& command, ToolState& state) {
    ++state.cursor;
    bool ended = false;
    bool fine = readOptions(command, state, &ended) && checkCount(command, state) &&
                (ended || checkNames(command, state));
    if (!fine) state.failUsage();
    return fine;
}

}  // namespace zorlek
