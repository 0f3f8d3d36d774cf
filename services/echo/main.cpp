// SPDX-License-Identifier: Apache-2.0
// zorlek-echo: a sample service that answers every transaction with what it was sent.

#include <signal.h>

#include "platform/hosting.h"
#include "platform/text.h"
#include "services/echo/echo_object.h"
#include "services/echo/echo_options.h"

namespace {

zorlek::ServiceHost* gHost = nullptr;

void onStopSignal(int) {
    if (gHost != nullptr) gHost->stop();
}

// The registry's word on a refusal, as ": WHY" after the status's text; empty when none.
zorlek::String8 reasonOf(const zorlek::ServiceHost& host) {
    zorlek::String8 text;
    if (host.refusalReason().size() > 0) text.append(": ").append(host.refusalReason().c_str());
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace zorlek;
    // Before any socket is made: none may become standard output, which says "ready".
    openStandardDescriptors();
    echo::EchoOptions options;
    String8 message;
    int early = echo::parseEchoOptions(argc, argv, &options, &message);
    if (early >= 0) {
        (early == 0 ? aout : aerr) << message;
        if (early != 0 && message.size() > 0) aerr << endl;
        return early;
    }

    signal(SIGPIPE, SIG_IGN);
    HostOptions hostOptions;
    // After a registry restart someone else may hold a name first: the host keeps asking
    // for it, and says so once.
    hostOptions.onRegistrationRefused = [](const String16& name, status_t status) {
        aerr << "zorlek-echo: " << narrowForDisplay(name) << " was refused by the registry ("
             << describeHostStatus(status) << reasonOf(*gHost) << "); asking again until it is free"
             << endl;
    };
    ServiceHost host(hostOptions);
    gHost = &host;
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    status_t status = host.connect();
    if (status == -EINTR) return 0;  // SIGTERM or SIGINT while waiting for the registry
    if (status != OK) {
        aerr << "zorlek-echo: cannot reach the registry at " << registryPath() << ": "
             << describeHostStatus(status) << endl;
        return 1;
    }
    for (size_t i = 0; i < options.names.size(); ++i) {
        status = host.addService(options.names[i], make<echo::EchoObject>(options.config));
        if (status == -EINTR) return 0;  // SIGTERM or SIGINT while registering
        if (status != OK) {
            // The names are the last arguments, as typed.
            const char* typed = argv[static_cast<size_t>(argc) - options.names.size() + i];
            aerr << "zorlek-echo: cannot register " << typed << ": " << describeHostStatus(status)
                 << reasonOf(host) << endl;
            return 1;
        }
    }
    aout << "ready\n";
    aout.flush();
    status = host.serve();
    gHost = nullptr;
    return status == OK ? 0 : 1;
}
