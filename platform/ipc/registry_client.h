#pragma once

#include <cstddef>

#include "platform/ipc/call_timeout.h"
#include "platform/ipc/ibinder.h"
#include "platform/ipc/parcel.h"
#include "platform/ipc/service_manager.h"
#include "platform/ipc/unique_fd.h"
#include "platform/text/string8.h"

namespace zorlek {

struct MessageHeader;

// The most names and payload bytes a listing may take; a registry that sends more is
// taken for a broken one (-E2BIG), so that no registry can make a client hold without end.
constexpr size_t kMaxListedNames = 1000000;
constexpr size_t kMaxListedBytes = 128 * 1024 * 1024;
// The most lookups lookupServices() has in flight on the connection at once.
constexpr size_t kMaxLookupsInFlight = 64;

// The client side of the registry: the ServiceManager that defaultServiceManager()
// returns. One request at a time over one connection (or one batch of lookups, answered
// in order); not for concurrent use from several threads.
//
// When a request fails (the registry went away, did not answer within the timeout, or
// answered nonsense) the connection is closed, and the next request connects afresh
// (with a new handshake) before giving up.
class RegistryClient : public ServiceManager {
  public:
    // Connects to the registry at `path` and completes the handshake, each wait bounded
    // by `timeoutMs`. Null when nothing answers there as a registry.
    static sp<RegistryClient> connect(const char* path, int timeoutMs = callTimeoutMs());

    // The object registered under exactly `name`, as an ObjectProxy over a new private
    // channel; null when no such name is registered or the registry cannot be asked.
    sp<IBinder> lookupService(const String16& name) override;
    // Every registered name in code-unit order, gathered page by page; empty when the
    // registry cannot be asked (never a partial listing).
    Vector<String16> listServiceNames() override;
    // As above, telling why nothing came back: 0; the failure of the connection
    // (-EPIPE, -ETIMEDOUT, -ECONNREFUSED, ...); -EBADMSG for a malformed page (names out
    // of order or repeated, a wrong count, bytes left over); -E2BIG past kMaxListedNames
    // names or kMaxListedBytes bytes of pages.
    status_t list(Vector<String16>* out) override;
    // Sends the lookups kMaxLookupsInFlight at a time before it waits for their answers,
    // each wait bounded by the timeout. A failed answer ends the batch; the names after it
    // are asked again on a fresh connection, as one lookup after another would be. A
    // lookup the registry refused for a backlog (-EAGAIN) is asked again alone.
    void lookupServices(const String16* names, size_t count, sp<IBinder>* out) override;

    // As lookupService, telling why nothing came back: 0, -ENOENT (no such name), or the
    // failure of the connection (-EPIPE, -ETIMEDOUT, -EBADMSG, -ECONNREFUSED, ...).
    status_t lookup(const String16& name, sp<IBinder>* out);

  private:
    RegistryClient(String8 path, int timeoutMs, unique_fd connection);

    // Makes sure a handshaken connection exists.
    status_t ensureConnected();
    // Sends one request and receives its answer, which must have type `answerType`. Any
    // failure closes the connection.
    status_t request(const MessageHeader& header, const Parcel& payload, uint32_t answerType,
                     MessageHeader* answer, Parcel* answerPayload, unique_fd* passedFd);
    // Reads one lookup answer into `out`; 0, -ENOENT or the registry's refusal, or
    // -EBADMSG (the connection is then closed).
    status_t takeLookupAnswer(const MessageHeader& answer, size_t payloadSize, unique_fd channel,
                              sp<IBinder>* out);
    // Looks up up to kMaxLookupsInFlight names at once. Returns how many of them are
    // settled: all of them, or those up to a failed answer.
    size_t lookupBatch(const String16* names, size_t count, sp<IBinder>* out);
    // Looks `name` up alone, again after short pauses while the registry refuses it for a
    // backlog (-EAGAIN), for at most the timeout.
    void lookupRefused(const String16& name, sp<IBinder>* out);

    String8 path_;
    int timeoutMs_;
    unique_fd connection_;
};

// Connects to the registry at `path` and completes the opening handshake. Returns 0 and
// the connection, or the failure (-ENOENT, -ECONNREFUSED, -ETIMEDOUT, -EPROTO for a
// peer that is not a registry, ...).
status_t connectToRegistry(const char* path, int timeoutMs, unique_fd* out);

}  // namespace zorlek
