// SPDX-License-Identifier: Apache-2.0
#include "services/echo/echo_options.h"

#include <getopt.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace zorlek::echo {
namespace {

enum OptionId {
    kDescriptor = 1000,
    kNoDescriptor,
    kStatus,
    kHang,
    kHangCalls,
    kExitOnCall,
};

const char* behaviourOption(Behaviour behaviour) {
    switch (behaviour) {
        case Behaviour::kHang:
            return "--hang";
        case Behaviour::kHangCalls:
            return "--hang-calls";
        case Behaviour::kExitOnCall:
            return "--exit-on-call";
        case Behaviour::kAnswer:
            break;
    }
    return "";
}

bool parseStatus(const char* text, int32_t* out) {
    if (*text == '\0') return false;
    char* end = nullptr;
    errno = 0;
    long long value = std::strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < INT32_MIN || value > INT32_MAX) return false;
    *out = static_cast<int32_t>(value);
    return true;
}

int usageError(String8* message, const char* first, const char* second = nullptr,
               const char* third = nullptr, const char* fourth = nullptr) {
    message->clear();
    message->append("zorlek-echo: ").append(first).append(second).append(third).append(fourth);
    return 2;
}

}  // namespace

const char* echoUsage() {
    return "Usage: zorlek-echo [--descriptor TEXT | --no-descriptor] [--status N]\n"
           "                   [--hang | --hang-calls | --exit-on-call] NAME...\n"
           "Registers an echo object under each NAME, prints \"ready\" and serves until\n"
           "SIGTERM or SIGINT. Every transaction but the descriptor query is answered with\n"
           "its code as a 32-bit integer followed by the request's bytes.\n"
           "  --descriptor TEXT  answer the descriptor query with TEXT (default zorlek.IEcho)\n"
           "  --no-descriptor    answer the descriptor query with -EBADRQC\n"
           "  --status N         answer with status N instead of 0\n"
           "  --hang             never reply to any transaction\n"
           "  --hang-calls       reply to the descriptor query only\n"
           "  --exit-on-call     exit (status 0) at the first other transaction\n";
}

namespace {

// The behaviour an option asks for; kAnswer for an option that asks for none.
Behaviour behaviourOf(int opt) {
    switch (opt) {
        case kHang:
            return Behaviour::kHang;
        case kHangCalls:
            return Behaviour::kHangCalls;
        case kExitOnCall:
            return Behaviour::kExitOnCall;
        default:
            return Behaviour::kAnswer;
    }
}

// Takes one option getopt_long returned into `out`: -1 to go on, or the exit status with
// `message` set, as parseEchoOptions returns it.
int takeOption(int opt, EchoOptions* out, bool* descriptorGiven, String8* message) {
    switch (opt) {
        case kDescriptor:
            *descriptorGiven = true;
            out->config.descriptor = String16(optarg);
            return -1;
        case kNoDescriptor:
            out->config.noDescriptor = true;
            return -1;
        case kStatus:
            if (parseStatus(optarg, &out->config.status)) return -1;
            return usageError(message, "--status needs a 32-bit integer, not '", optarg, "'");
        case 'h':
            message->clear();
            message->append(echoUsage());
            return 0;
        case kHang:
        case kHangCalls:
        case kExitOnCall:
            break;
        default:
            // getopt has written its own line.
            message->clear();
            return 2;
    }
    Behaviour behaviour = behaviourOf(opt);
    Behaviour before = out->config.behaviour;
    if (before != Behaviour::kAnswer && before != behaviour) {
        return usageError(message, behaviourOption(before), " and ", behaviourOption(behaviour),
                          " exclude each other");
    }
    out->config.behaviour = behaviour;
    return -1;
}

}  // namespace

int parseEchoOptions(int argc, char** argv, EchoOptions* out, String8* message) {
    static const option kOptions[] = {
        {"descriptor", required_argument, nullptr, kDescriptor},
        {"no-descriptor", no_argument, nullptr, kNoDescriptor},
        {"status", required_argument, nullptr, kStatus},
        {"hang", no_argument, nullptr, kHang},
        {"hang-calls", no_argument, nullptr, kHangCalls},
        {"exit-on-call", no_argument, nullptr, kExitOnCall},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    *out = EchoOptions();
    bool descriptorGiven = false;
    optind = 0;
    int opt;
    // '+': options end at the first name, and nothing is reordered.
    while ((opt = getopt_long(argc, argv, "+h", kOptions, nullptr)) != -1) {
        int status = takeOption(opt, out, &descriptorGiven, message);
        if (status >= 0) return status;
    }
    if (descriptorGiven && out->config.noDescriptor) {
        return usageError(message, "--descriptor and --no-descriptor exclude each other");
    }
    if (optind >= argc) return usageError(message, "no NAME given");
    for (int i = optind; i < argc; ++i) out->names.push_back(String16(argv[i]));
    return -1;
}

}  // namespace zorlek::echo
