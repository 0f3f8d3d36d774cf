#include <cstring>

#include "commands/commands.h"
#include "commands/descriptor.h"
#include "platform/text.h"

namespace zorlek {
namespace {

// Why the registry's listing failed, for the error line.
const char* listFailure(status_t status) {
    switch (status) {
        case -ETIMEDOUT:
            return "the registry did not answer in time";
        case -EPIPE:
        case -ECONNRESET:
            return "the registry closed the connection";
        case -EBADMSG:
            return "the registry sent a malformed listing";
        case -E2BIG:
            return "the listing passed 1000000 names or 128 MiB";
        default:
            return std::strerror(-status);
    }
}

}  // namespace

void runList(ToolState& state) {
    ServiceManager& registry = *state.serviceManager;
    Vector<String16> names;
    status_t status = registry.list(&names);
    if (status != OK) {
        aerr << "zorlek: Unable to list services: " << listFailure(status) << endl;
        state.exitStatus = EXIT_NO_SERVICE_MANAGER;
        return;
    }
    aout << "Found " << static_cast<uint32_t>(names.size()) << " services:" << endl;
    // The lookups and descriptor queries of the next names travel while a line waits for
    // its answer; the lines still come out one by one, in order, each started before its
    // descriptor is known, as if every name were asked in turn.
    CallPipeline queries(kListWindow);
    sp<IBinder> found[kListWindow];
    const Parcel noArguments;
    Parcel reply;
    size_t asked = 0;
    for (size_t line = 0; line < names.size(); ++line) {
        // Refilled half a window at a time, so that lookups travel in batches.
        size_t room = kListWindow - queries.size();
        if (asked < names.size() && room >= kListWindow / 2) {
            size_t batch = names.size() - asked < room ? names.size() - asked : room;
            registry.lookupServices(&names[asked], batch, found);
            for (size_t i = 0; i < batch; ++i) {
                queries.add(std::move(found[i]), DESCRIPTOR_QUERY_CODE, noArguments);
            }
            asked += batch;
        }
        aout << static_cast<uint32_t>(line) << "\t" << narrowForDisplay(names[line]) << ": [";
        status_t answered = queries.takeOldest(&reply);
        aout << narrowForDisplay(descriptorFromReply(answered, reply)) << "]" << endl;
    }
}

}  // namespace zorlek
