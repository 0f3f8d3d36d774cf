// SPDX-License-Identifier: Apache-2.0
// Before a watch: the services looked up, their descriptions asked all at once (so that
// services that never answer cost one call timeout together), then a tap of each.
#include <cstring>
#include <vector>

#include "commands/limits.h"
#include "commands/monitor/watch.h"
#include "commands/registry_failure.h"
#include "idl/parser.h"
#include "platform/ipc.h"
#include "platform/text.h"

namespace zorlek {
namespace {

// What a step left: go on, begin again (a service went meanwhile: wait for it), or stop.
enum class Step { kDone, kAgain, kStop };

Step fail(ToolState& state, int32_t exitStatus) {
    state.exitStatus = exitStatus;
    return Step::kStop;
}

// The methods `reply` (the answer to the interface query) describes; none when it cannot
// be read: a service that does not describe itself is shown by its codes.
std::vector<idl::Method> methodsIn(status_t status, Parcel& reply) {
    String16 text;
    if (status != OK || reply.readString16(&text) != OK || text.size() == 0) return {};
    idl::ParseError error;
    // The service's own interface comes first.
    std::optional<idl::Description> parsed = idl::parseDescription(text.view(), &error);
    if (!parsed || parsed->interfaces.empty()) return {};
    return std::move(parsed->interfaces.front().methods);
}

// Looks every service up and asks its description. A name the lookup gives nothing for is
// left to the request for its tap, which tells whether it is registered.
Step describe(ToolState& state, std::vector<WatchedService>& services) {
    std::vector<String16> names;
    for (const WatchedService& s : services) names.push_back(s.name);
    std::vector<sp<IBinder>> objects(names.size());
    size_t answered = 0;
    status_t status =
        state.serviceManager->lookupServices(names.data(), names.size(), objects.data(), &answered);
    if (status != OK) {
        aerr << "zorlek: Unable to look up " << services[answered].typed << ": "
             << describeRegistryFailure(status, false) << endl;
        return fail(state, EXIT_NO_SERVICE_MANAGER);
    }
    CallPipeline queries(names.size());
    for (sp<IBinder>& object : objects)
        queries.add(std::move(object), INTERFACE_QUERY_CODE, Parcel(), true);
    for (WatchedService& s : services) {
        Parcel reply;
        status_t queried = queries.takeOldest(&reply);
        s.methods = methodsIn(queried, reply);
    }
    return Step::kDone;
}

// Asks the registry for a tap of each service, in order.
Step tapEach(ToolState& state, const WatchOptions& options, std::vector<WatchedService>& services) {
    int32_t snaplen =
        options.capture || options.style.payload ? static_cast<int32_t>(options.style.snaplen) : 0;
    for (size_t i = 0; i < services.size(); ++i) {
        WatchedService& s = services[i];
        unique_fd tap;
        status_t status = state.serviceManager->monitor(s.name, snaplen, &s.handle, &tap);
        if (status == OK) {
            s.tap = std::make_unique<TapReader>(std::move(tap), i, kTapReadBuffer,
                                                kMaxCallRecordPayload);
            continue;
        }
        if (status == -ENOENT && options.wait) return Step::kAgain;
        if (status == -ENOENT) {
            aerr << "zorlek: Service " << s.typed << " does not exist" << endl;
            return fail(state, EXIT_USAGE);
        }
        bool refused = status == -EPERM || status == -EOPNOTSUPP || status == -EDQUOT ||
                       status == -EMFILE || status == -EINVAL;
        // A refusal of the policy reads as one: "Permission denied".
        const char* why = status == -EPERM ? std::strerror(EACCES)
                          : refused        ? std::strerror(-status)
                                           : describeRegistryFailure(status, false);
        aerr << "zorlek: Unable to monitor " << s.typed << ": " << why << endl;
        return fail(state, refused ? EXIT_USAGE : EXIT_NO_SERVICE_MANAGER);
    }
    return Step::kDone;
}

// Waits until every service is registered, at most until the deadline: kAgain once they
// are; kDone with `*ended` when the deadline passed first.
Step waitForAll(ToolState& state, const WatchOptions& options,
                const std::vector<WatchedService>& services, bool* ended) {
    std::vector<String16> names;
    for (const WatchedService& s : services) names.push_back(s.name);
    size_t pending = 0;
    int timeoutMs = options.timed ? options.deadline.remainingMs() : -1;
    status_t status = waitForServices(names.data(), names.size(), false, timeoutMs, &pending);
    if (status == OK) return Step::kAgain;
    if (status == -ETIMEDOUT) {
        *ended = true;
        return Step::kDone;
    }
    const char* typed = services[pending < names.size() ? pending : 0].typed;
    if (status == -EINVAL) {
        aerr << "zorlek: Not a service name: " << typed << endl;
        return fail(state, EXIT_USAGE);
    }
    aerr << "zorlek: Unable to wait for " << typed << ": " << describeRegistryFailure(status, false)
         << endl;
    return fail(state, EXIT_NO_SERVICE_MANAGER);
}

}  // namespace

bool openTaps(ToolState& state, const WatchOptions& options, std::vector<WatchedService>& services,
              bool* ended) {
    *ended = false;
    // A service the registry said was there but that went, or whose host was busy, before
    // its tap: waited for again after a pause that grows, as hosts connect again.
    int pauseMs = kFirstReconnectPauseMs;
    for (;;) {
        if (options.wait) {
            Step step = waitForAll(state, options, services, ended);
            if (step != Step::kAgain) return step == Step::kDone;
        }
        Step step = describe(state, services);
        if (step == Step::kDone) step = tapEach(state, options, services);
        if (step != Step::kAgain) return step == Step::kDone;
        for (WatchedService& s : services) s.tap.reset();
        int left = options.timed ? options.deadline.remainingMs() : pauseMs;
        sleepMs(left < pauseMs ? left : pauseMs);
        pauseMs = doubledPause(pauseMs, kMaxReconnectPauseMs);
    }
}

}  // namespace zorlek
