// SPDX-License-Identifier: Apache-2.0
#include <vector>

#include "commands/commands.h"
#include "commands/descriptor.h"
#include "commands/registry_failure.h"
#include "platform/text.h"

namespace zorlek {
namespace {

// `listing`: the listing itself failed, rather than a lookup of one of its names.
void failListing(ToolState& state, status_t status, bool listing) {
    aerr << "zorlek: Unable to list services: " << describeRegistryFailure(status, listing) << endl;
    state.exitStatus = EXIT_NO_SERVICE_MANAGER;
}

}  // namespace

void runList(ToolState& state) {
    ServiceManager& registry = *state.serviceManager;
    Vector<String16> names;
    status_t status = registry.list(&names);
    if (status != OK) return failListing(state, status, true);
    aout << "Found " << static_cast<uint32_t>(names.size()) << " services:" << endl;
    // The lookups and descriptor queries of the next names travel while a line waits for
    // its answer; the lines still come out one by one, in order, each started before its
    // descriptor is known, as if every name were asked in turn. The window takes room for
    // the names there are, up to its bound. A query asked twice does no harm, so a reply
    // that comes ahead of its turn when no room is left may be dropped and asked again.
    const size_t window = names.size() < kListWindow ? names.size() : kListWindow;
    CallPipeline queries(window);
    std::vector<sp<IBinder>> found(window);
    const Parcel noArguments;
    Parcel reply;
    size_t asked = 0;
    // The lines that can be printed: all, or those before a lookup the registry failed.
    size_t printable = names.size();
    for (size_t line = 0; line < printable; ++line) {
        // Refilled half a window at a time, so that lookups travel in batches.
        size_t room = window - queries.size();
        if (asked < printable && room >= window / 2) {
            size_t batch = names.size() - asked < room ? names.size() - asked : room;
            size_t answered = 0;
            status = registry.lookupServices(&names[asked], batch, found.data(), &answered);
            for (size_t i = 0; i < answered; ++i) {
                queries.add(std::move(found[i]), DESCRIPTOR_QUERY_CODE, noArguments, true);
            }
            asked += answered;
            if (status != OK) printable = asked;
            if (line >= printable) break;
        }
        aout << static_cast<uint32_t>(line) << "\t" << narrowForDisplay(names[line]) << ": [";
        status_t answered = queries.takeOldest(&reply);
        aout << narrowForDisplay(descriptorFromReply(answered, reply)) << "]" << endl;
    }
    if (printable < names.size()) failListing(state, status, false);
}

}  // namespace zorlek
