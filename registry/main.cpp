// SPDX-License-Identifier: Apache-2.0
// zorlek-registry: the registry daemon. Runs in the foreground until SIGTERM or SIGINT.

#include <getopt.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "platform/base/call_timeout.h"
#include "platform/base/registry_path.h"
#include "platform/base/standard_descriptors.h"
#include "platform/text.h"
#include "registry/listen_socket.h"
#include "registry/log.h"
#include "registry/policy_reload.h"
#include "registry/server.h"
#include "registry/systemd.h"

namespace {

using namespace zorlek;

void printUsage(TextOutput& out) {
    out << "Usage: zorlek-registry [-h] [--allow-any-user] [--policy-dir DIR]...\n"
           "Holds the names of the system's services and hands out their objects.\n"
           "Listens on $ZORLEK_REGISTRY, or on /run/zorlek/registry.sock when that is unset.\n"
           "Root, the registry's own user and those its policy grants a name may register;\n"
           "the policy is read from";
    for (const String8& folder : registry::defaultPolicyFolders()) out << " " << folder;
    out << "\n"
           "(*.conf, lines \"own PATTERN user|group NAME\"), and again on SIGHUP.\n"
           "  --allow-any-user  also let every user register the names no policy line matches\n"
           "  --policy-dir DIR  read the policy from DIR instead (repeatable)\n"
           "  -h, --help        print this text\n";
}

// Many clients and services at once each hold a descriptor here.
void raiseDescriptorLimit() {
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// Reads the command line into `options` and `policyFolders`; -1 to go on, else the exit
// status (the usage text has been written).
int parseCommandLine(int argc, char** argv, registry::ServerOptions* options,
                     std::vector<String8>* policyFolders) {
    static const option kOptions[] = {
        {"allow-any-user", no_argument, nullptr, 'a'},
        {"policy-dir", required_argument, nullptr, 'p'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int opt;
    while ((opt = getopt_long(argc, argv, "+h", kOptions, nullptr)) != -1) {
        if (opt == 'a') {
            options->allowAnyUser = true;
        } else if (opt == 'p') {
            policyFolders->emplace_back(optarg);
        } else if (opt == 'h') {
            printUsage(aout);
            return 0;
        } else {
            printUsage(aerr);
            return 2;
        }
    }
    if (optind < argc) {
        aerr << "zorlek-registry: unexpected argument: " << argv[optind] << endl;
        printUsage(aerr);
        return 2;
    }
    return -1;
}

// Listens (on the socket handed over by a service manager, or on its own at `path`),
// serves until stopped and cleans up; the exit status.
int serve(registry::RegistryServer& server, const char* path) {
    unique_fd listener;
    registry::SocketIdentity identity;
    String8 error;
    int probeMs = callTimeoutMs() < 1000 ? callTimeoutMs() : 1000;
    // A socket handed over by a service manager stays the manager's: it is not removed.
    if (registry::takeHandedSocket(&listener, &error) != OK) {
        aerr << "zorlek-registry: " << error << endl;
        return 1;
    }
    bool handed = listener.valid();
    if (!handed &&
        registry::openListeningSocket(path, probeMs, &listener, &identity, &error) != OK) {
        aerr << "zorlek-registry: " << error << endl;
        return 1;
    }
    if (registry::notifyReady(&error) != OK) aerr << "zorlek-registry: " << error << endl;
    status_t status = server.run(std::move(listener));
    if (!handed) registry::removeOwnSocket(path, identity);
    if (status != OK) {
        aerr << "zorlek-registry: the serving loop failed: " << std::strerror(-status) << endl;
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Before any socket is made: none may become standard input, output or the log.
    openStandardDescriptors();
    // SIGHUP reads the policy again, SIGTERM and SIGINT stop: all handled on the serving
    // loop, and held until it runs. Before any thread starts, so that none takes them.
    blockSignals({SIGHUP, SIGTERM, SIGINT});
    registry::ServerOptions options;
    std::vector<String8> policyFolders;
    options.registryUid = geteuid();
    options.handshakeTimeoutMs = callTimeoutMs();
    int early = parseCommandLine(argc, argv, &options, &policyFolders);
    if (early >= 0) return early;

    // Writing to a closed log pipe must not end the registry, nor a full one stop it.
    signal(SIGPIPE, SIG_IGN);
    aerr.dropWhenBlocked(true);
    registry::adaptLogToJournal();
    raiseDescriptorLimit();

    if (policyFolders.empty()) policyFolders = registry::defaultPolicyFolders();
    registry::Policy policy;
    registry::readPolicy(policyFolders, &policy);
    options.policy = &policy;
    registry::RegistryServer server(options);
    registry::PolicyReloader reloader(server.loop(), policyFolders, &policy,
                                      [&server] { server.policyChanged(); });
    SignalSource stops(server.loop(), [&server](int) { server.stop(); });
    status_t watching = reloader.start();
    if (watching == OK) watching = stops.start({SIGTERM, SIGINT});
    if (watching != OK) {
        aerr << "zorlek-registry: cannot watch for signals: " << std::strerror(-watching) << endl;
        return 1;
    }
    return serve(server, registryPath());
}
