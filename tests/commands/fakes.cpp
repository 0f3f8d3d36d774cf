// SPDX-License-Identifier: Apache-2.0
#include "tests/commands/fakes.h"

#include <cstdio>

#include "driver/driver.h"

namespace zorlek::test {

ObjectScript describedAs(std::u16string_view descriptor) {
    ObjectScript script;
    script.queryReply = s16(descriptor);
    return script;
}

FakeObject::FakeObject(std::string name, ObjectScript script, Journal* journal)
    : name_(std::move(name)), script_(std::move(script)), journal_(journal) {
    ++journal_->liveObjects;
}

FakeObject::~FakeObject() {
    --journal_->liveObjects;
}

status_t FakeObject::sendTransaction(uint32_t code, const Parcel& data, Parcel* reply,
                                     uint32_t flags) {
    char codeText[16];
    std::snprintf(codeText, sizeof codeText, "%x", code);
    journal_->events.push_back("send " + name_ + " " + codeText);
    journal_->sent.push_back(
        {name_, code, Bytes(data.data(), data.data() + data.dataSize()), flags});
    if (script_.onTransaction) script_.onTransaction(code);
    Bytes answer;
    status_t status;
    if (code == DESCRIPTOR_QUERY_CODE) {
        answer = script_.queryReply;
        status = script_.queryStatus;
    } else if (code == INTERFACE_QUERY_CODE) {
        answer = script_.interfaceReply;
        status = script_.interfaceStatus;
    } else {
        answer = script_.callReply.value_or(
            cat({i32(code), Bytes(data.data(), data.data() + data.dataSize())}));
        status = script_.callStatus;
    }
    // Left in the reply even with a failure status, to show the tool does not trust it.
    if (reply != nullptr) reply->setData(answer.data(), answer.size());
    return status;
}

void FakeRegistry::add(const std::string& name, std::optional<ObjectScript> script) {
    entries_.push_back({String16(name.c_str()), name, std::move(script)});
}

sp<IBinder> FakeRegistry::lookupService(const String16& name) {
    for (const Entry& entry : entries_) {
        if (entry.name != name) continue;
        journal_->events.push_back("lookup " + entry.utf8);
        if (onLookup) onLookup(entry.utf8);
        if (!entry.script) return nullptr;
        return sp<IBinder>(new FakeObject(entry.utf8, *entry.script, journal_));
    }
    journal_->events.push_back("lookup (unlisted)");
    return nullptr;
}

status_t FakeRegistry::lookup(const String16& name, sp<IBinder>* out) {
    *out = nullptr;
    if (lookupFailure != OK && lookups_++ >= lookupFailsAt) {
        journal_->events.push_back("lookup failed");
        return lookupFailure;
    }
    *out = lookupService(name);
    return *out ? OK : -ENOENT;
}

status_t FakeRegistry::holderOf(const String16& name, ServiceHolder* out, sp<IBinder>* object) {
    journal_->events.push_back("holder");
    if (object != nullptr) *object = nullptr;
    if (holderFailure != OK) return holderFailure;
    for (const auto& [utf8, holder] : holders) {
        if (String16(utf8.c_str()) != name) continue;
        *out = holder;
        if (object != nullptr) lookup(name, object);
        return OK;
    }
    return -ENOENT;
}

status_t FakeRegistry::monitor(const String16& name, int32_t snaplen, uint32_t* handle,
                               unique_fd* tap) {
    std::string utf8 = narrowForDisplay(name).c_str();
    journal_->events.push_back("monitor " + utf8 + " " + std::to_string(snaplen));
    return onMonitor ? onMonitor(utf8, snaplen, handle, tap) : -EOPNOTSUPP;
}

Vector<String16> FakeRegistry::listServiceNames() {
    Vector<String16> names;
    list(&names);
    return names;
}

status_t FakeRegistry::list(Vector<String16>* out) {
    ++journal_->listings;
    out->clear();
    if (listFailure != OK) return listFailure;
    for (const Entry& entry : entries_) out->push_back(entry.name);
    return OK;
}

namespace {
String8* gOut = nullptr;
}  // namespace

Outcome runTool(sp<ServiceManager> registry, std::vector<std::string> args) {
    std::vector<char*> argv;
    std::string program = "zorlek";
    argv.push_back(program.data());
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    String8 out, err;
    gOut = &out;
    aout.captureInto(&out);
    aerr.captureInto(&err);
    int32_t status = runDriver(std::move(registry), static_cast<int>(args.size() + 1), argv.data());
    aout.captureInto(nullptr);
    aerr.captureInto(nullptr);
    gOut = nullptr;
    return {std::string(out.data(), out.size()), std::string(err.data(), err.size()), status};
}

std::string outputSoFar() {
    aout.flush();
    return gOut == nullptr ? std::string() : std::string(gOut->data(), gOut->size());
}

std::string hex(const Bytes& bytes) {
    std::string out;
    char two[3];
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i != 0 && i % 4 == 0) out += ' ';
        std::snprintf(two, sizeof two, "%02x", bytes[i]);
        out += two;
    }
    return out;
}

}  // namespace zorlek::test
