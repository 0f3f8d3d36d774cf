// SPDX-License-Identifier: Apache-2.0
#pragma once

// In-memory stand-ins for the registry and its objects, and a way to run the whole tool
// in-process against them with its output captured.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ipc.h"
#include "platform/text.h"
#include "tests/support/bytes.h"
#include "tests/support/usage_text.h"

namespace zorlek::test {

// One transaction an object received.
struct Sent {
    std::string target;
    uint32_t code;
    Bytes bytes;
    uint32_t flags;
    bool operator==(const Sent&) const = default;
};

// Everything the fakes were asked, in order; owned by the test.
struct Journal {
    // "lookup NAME" and "send NAME CODE" (CODE in hex), in the order they happened.
    std::vector<std::string> events;
    std::vector<Sent> sent;
    int listings = 0;
    // Fake objects currently alive.
    int liveObjects = 0;
};

// How a fake object answers.
struct ObjectScript {
    // The descriptor query: its status and the reply's bytes.
    status_t queryStatus = OK;
    Bytes queryReply;
    // The interface query: its status and the reply's bytes; refused by default, as by an
    // object that does not describe its interface.
    status_t interfaceStatus = -EBADRQC;
    Bytes interfaceReply;
    // Every other code: its status and the reply's bytes; without callReply the reply
    // is the code as a 32-bit integer followed by the request's bytes.
    status_t callStatus = OK;
    std::optional<Bytes> callReply;
    // Runs when a transaction arrives, before it is answered (with its code).
    std::function<void(uint32_t)> onTransaction;
};

// An object answering the descriptor query with `descriptor` and echoing other codes.
ObjectScript describedAs(std::u16string_view descriptor);

class FakeObject : public IBinder {
  public:
    FakeObject(std::string name, ObjectScript script, Journal* journal);
    ~FakeObject() override;
    status_t sendTransaction(uint32_t code, const Parcel& data, Parcel* reply,
                             uint32_t flags) override;

  private:
    std::string name_;
    ObjectScript script_;
    Journal* journal_;
};

// A registry whose listing is the names added, in the order added (not sorted, so that
// a test can see the tool keeps the registry's order). Every lookup of a name with a
// script makes a new FakeObject, so the tool's releases can be counted.
class FakeRegistry : public ServiceManager {
  public:
    explicit FakeRegistry(Journal* journal) : journal_(journal) {}
    // `name` is UTF-8 for the listing and for matching lookups; nullopt gives a name
    // that is listed but whose lookup gives null.
    void add(const std::string& name, std::optional<ObjectScript> script);
    // Runs at every lookup, before it is answered (with the name, as UTF-8).
    std::function<void(const std::string&)> onLookup;
    // When not 0, the listing fails with this status (and gives no names).
    status_t listFailure = OK;
    // When not 0, every lookup from the `lookupFailsAt`-th on (counted from 0) fails with
    // this status, as when the registry stops answering ("lookup failed" in the journal).
    status_t lookupFailure = OK;
    size_t lookupFailsAt = 0;

    // Who holds each name (UTF-8), for holderOf(); a name without one is not registered.
    std::vector<std::pair<std::string, ServiceHolder>> holders;
    // When not 0, holderOf() fails with this status.
    status_t holderFailure = OK;

    // Answers monitor() (with the name as UTF-8); without it, monitor() is -EOPNOTSUPP as
    // from the base class. Each call is "monitor NAME SNAPLEN" in the journal.
    std::function<status_t(const std::string& name, int32_t snaplen, uint32_t* handle,
                           unique_fd* tap)>
        onMonitor;

    sp<IBinder> lookupService(const String16& name) override;
    status_t lookup(const String16& name, sp<IBinder>* out) override;
    status_t holderOf(const String16& name, ServiceHolder* out, sp<IBinder>* object) override;
    Vector<String16> listServiceNames() override;
    status_t list(Vector<String16>* out) override;
    status_t monitor(const String16& name, int32_t snaplen, uint32_t* handle,
                     unique_fd* tap) override;

  private:
    struct Entry {
        String16 name;
        std::string utf8;
        std::optional<ObjectScript> script;
    };
    Journal* journal_;
    std::vector<Entry> entries_;
    size_t lookups_ = 0;
};

// What one run of the tool left.
struct Outcome {
    std::string out;
    std::string err;
    int32_t status;
};

// Runs the tool ("zorlek" then `args`) through the driver against `registry`.
Outcome runTool(sp<ServiceManager> registry, std::vector<std::string> args);

// During runTool: everything written to standard output so far (flushes aout first).
std::string outputSoFar();

// Readable form of bytes for failure messages.
std::string hex(const Bytes& bytes);

}  // namespace zorlek::test
