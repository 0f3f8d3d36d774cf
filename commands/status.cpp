// SPDX-License-Identifier: Apache-2.0
#include <cstring>

#include "commands/commands.h"
#include "commands/descriptor.h"
#include "commands/holder_process.h"
#include "commands/process_info.h"
#include "commands/registry_failure.h"
#include "platform/text.h"
#include "platform/text/json_writer.h"

namespace zorlek {
namespace {

// What `status` shows of one name; an empty text is a value that cannot be known.
struct StatusReport {
    String16 service;
    bool described = false;  // the service answered the descriptor query
    String16 descriptor;
    ServiceHolder holder;
    String16 user;
    String16 group;
    String16 command;
    String16 unit;
    HolderProcess process = HolderProcess::kElsewhere;
};

// What /proc shows of the holder's process, read while checkHolderProcess pins it.
void readProcess(int32_t pid, void* report) {
    static_cast<StatusReport*>(report)->command = processCommandLine(pid);
    static_cast<StatusReport*>(report)->unit = processUnit(pid);
}

// Said after the pid of a process that cannot be shown.
const char* processNote(HolderProcess process) {
    switch (process) {
        case HolderProcess::kGone:
            return " (gone)";
        case HolderProcess::kElsewhere:
            return " (not seen here)";
        case HolderProcess::kHere:
            break;
    }
    return "";
}

// "ID (NAME)", or "ID" alone when the account has no name.
void writeAccount(const char* key, uint32_t id, const String16& name) {
    aout << key << id;
    if (name.size() > 0) aout << " (" << narrowForDisplay(name) << ")";
    aout << endl;
}

void writeText(const char* key, const String16& value) {
    if (value.size() > 0) aout << key << narrowForDisplay(value) << endl;
}

void writeReport(const StatusReport& report) {
    aout << "Service: " << narrowForDisplay(report.service) << endl;
    if (report.described) aout << "Descriptor: " << narrowForDisplay(report.descriptor) << endl;
    aout << "PID: " << report.holder.pid << processNote(report.process) << endl;
    writeAccount("UID: ", report.holder.uid, report.user);
    writeAccount("GID: ", report.holder.gid, report.group);
    writeText("Command: ", report.command);
    writeText("Unit: ", report.unit);
    aout << "Since: " << utcTime(report.holder.sinceMs) << endl;
    aout << "Names: ";
    for (size_t i = 0; i < report.holder.names.size(); ++i) {
        aout << (i > 0 ? ", " : "") << narrowForDisplay(report.holder.names[i]);
    }
    aout << endl;
}

// The member KEY: a JSON string, or null for a value that cannot be known.
void jsonText(JsonWriter& json, const char* key, const String16& value, bool known) {
    json.key(key);
    if (known) {
        json.string(value);
    } else {
        json.null();
    }
}

void writeReportJson(const StatusReport& r) {
    JsonWriter json(&aout);
    json.beginObject();
    json.key("service").string(r.service);
    jsonText(json, "descriptor", r.descriptor, r.described);
    json.key("pid").number(r.holder.pid);
    json.key("process").string(r.process == HolderProcess::kHere   ? "here"
                               : r.process == HolderProcess::kGone ? "gone"
                                                                   : "elsewhere");
    json.key("uid").number(r.holder.uid);
    jsonText(json, "user", r.user, r.user.size() > 0);
    json.key("gid").number(r.holder.gid);
    jsonText(json, "group", r.group, r.group.size() > 0);
    jsonText(json, "command", r.command, r.command.size() > 0);
    jsonText(json, "unit", r.unit, r.unit.size() > 0);
    String8 since = utcTime(r.holder.sinceMs);
    json.key("since").string(std::string_view(since.data(), since.size()));
    json.key("names").beginArray();
    for (const String16& name : r.holder.names) json.string(name);
    json.endArray().endObject();
    aout << endl;
}

}  // namespace

void runStatus(ToolState& state) {
    bool json = state.option("--json") != nullptr;
    const char* service = state.arg();
    StatusReport report;
    report.service = String16(service);
    sp<IBinder> object;
    status_t status = state.serviceManager->holderOf(report.service, &report.holder, &object);
    if (status == -ENOENT) {
        aerr << "zorlek: Service " << service << " is not registered" << endl;
        state.exitStatus = EXIT_USAGE;
        return;
    }
    if (status != OK) {
        aerr << "zorlek: Unable to look up " << service << ": "
             << describeRegistryFailure(status, false) << endl;
        state.exitStatus = EXIT_NO_SERVICE_MANAGER;
        return;
    }
    // The service answers its descriptor while the accounts and /proc are read.
    CallPipeline query(1);
    query.add(std::move(object), DESCRIPTOR_QUERY_CODE, Parcel());
    query.flush();
    report.user = userName(report.holder.uid);
    report.group = groupName(report.holder.gid);
    report.process = checkHolderProcess(report.holder, readProcess, &report);
    if (report.process != HolderProcess::kHere) {
        report.command = String16();
        report.unit = String16();
    }
    Parcel reply;
    report.described =
        query.takeOldest(&reply) == OK && reply.readString16(&report.descriptor) == OK;
    if (json) return writeReportJson(report);
    writeReport(report);
}

}  // namespace zorlek
