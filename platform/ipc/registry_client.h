// SPDX-License-Identifier: Apache-2.0
// The client side of the registry: the ServiceManager that defaultServiceManager()
// returns. Internal to the IPC library; clients see it as a ServiceManager.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/base/call_timeout.h"
#include "platform/base/ibinder.h"
#include "platform/base/parcel.h"
#include "platform/base/unique_fd.h"
#include "platform/ipc/service_manager.h"
#include "platform/text/string8.h"
#include "platform/transport/client_channel.h"
#include "platform/transport/client_connection.h"

namespace zorlek {

// The listing's and the lookups' bounds (kMaxListedNames, kMaxListedBytes, kLookupBatch)
// are in platform/base/limits.h.

// One request at a time over one connection (or one batch of lookups, answered in order).
// Objects it hands out are proxies on one channel per hosting process, made at the first
// lookup of a name of that host and shared by every later one; the channel closes with the
// last proxy to it, and the registry is told before the next request.
//
// When a request fails (the registry went away, did not answer within the timeout, or
// answered nonsense) the connection is closed, and the next request connects afresh
// (with a new handshake) before giving up. Used from one thread at a time.
class RegistryClient : public ServiceManager {
  public:
    // Connects to the registry at `path` and completes the handshake, each wait bounded
    // by `timeoutMs`. Null when nothing answers there as a registry.
    static sp<RegistryClient> connect(const char* path, int timeoutMs = callTimeoutMs());
    // As connect(), saying why it failed (as connectToRegistry() does).
    static status_t open(const char* path, int timeoutMs, sp<RegistryClient>* out);
    ~RegistryClient() override;

    sp<IBinder> lookupService(const String16& name) override;
    Vector<String16> listServiceNames() override;
    // Every registered name in code-unit order, gathered page by page: 0; the failure of
    // the connection (-EPIPE, -ETIMEDOUT, -ECONNREFUSED, ...); -EBADMSG for a malformed
    // page (names out of order or repeated, a count past the names); -E2BIG past
    // kMaxListedNames names or kMaxListedBytes bytes of pages.
    status_t list(Vector<String16>* out) override;
    status_t lookup(const String16& name, sp<IBinder>* out) override;
    // Sends the lookups kLookupBatch at a time before it reads their answers. A lookup the
    // registry refused for a busy host (-EAGAIN) is asked again alone after short pauses,
    // all of them within one timeout.
    status_t lookupServices(const String16* names, size_t count, sp<IBinder>* out,
                            size_t* answered) override;
    // Who holds `name` (and the object, with the lookup sent in the same write): 0;
    // -ENOENT; the failure of the connection; -EBADMSG for a malformed answer.
    status_t holderOf(const String16& name, ServiceHolder* out,
                      sp<IBinder>* object = nullptr) override;

    int pollDescriptor() override { return channels_->pollFd(); }
    int pollTimeoutMs() override { return channels_->hasNotices() ? 0 : -1; }
    status_t dispatch() override;

    // Waits until every name of `names` (a wait's payload, wire.h) is registered, or with
    // `gone` until none is, at most until `deadline` (without `bounded`, for ever): a
    // request on this connection, which the registry answers when the wait holds. 0 once
    // it held; -ETIMEDOUT with `*pending` the index of a name still missing; -EINVAL with
    // `*pending` the index of a name no registry accepts; -EOPNOTSUPP from a registry that
    // cannot wait; -EBUSY, -EDQUOT (the registry's refusals); or the failure of the
    // connection, which is closed then and not connected again.
    status_t watch(const Parcel& names, bool gone, bool bounded, const Deadline& deadline,
                   size_t* pending);

  private:
    RegistryClient(String8 path, int timeoutMs, unique_fd sock, uint32_t features);

    // Makes sure a handshaken connection exists.
    status_t ensureConnected();
    // Closes the connection after a failure: whatever comes on it is out of step.
    void disconnect();
    // Begins sending requests, corked when `many` go together, after telling the
    // registry of the channels let go; each sendRequest() queues or sends one, and
    // endRequests() sends what waits. A failure closes the connection.
    status_t beginRequests(bool many);
    status_t sendRequest(const MessageHeader& header, const Parcel& payload);
    status_t endRequests();
    // Receives the next answer by `deadline`, which must have type `type`
    // (ClientConnection::answerStatus).
    status_t receiveAnswer(uint32_t type, Message* answer, const Deadline& deadline);
    // The next answer by `deadline`, polled for the connection's budget before the wait
    // sleeps, as a channel's wait for a reply is (PollBudget).
    status_t awaitAnswer(Message* answer, const Deadline& deadline);
    // The answer to the wait numbered `serial`: its status, with `*index` from its code;
    // `*held` set when the wait numbered kWaitSerial was answered that it holds.
    status_t awaitWatch(uint32_t serial, const Deadline& deadline, size_t* index, bool* held);
    // Sends one request and receives its answer, which must have type `answerType`.
    status_t request(const MessageHeader& header, const Parcel& payload, uint32_t answerType,
                     Message* answer);
    // Reads one lookup answer into `out`: 0, or the registry's refusal (-ENOENT,
    // -EAGAIN, ...); -EBADMSG, closing the connection, for one that makes no sense.
    status_t takeLookupAnswer(Message& answer, sp<IBinder>* out);
    // Looks up at most kLookupBatch names; `refused` marks those refused for a busy host.
    status_t lookupBatch(const String16* names, size_t count, sp<IBinder>* out, size_t* answered,
                         bool* refused);
    // As lookup(), asking again while the registry refuses for a busy host (-EAGAIN),
    // until `deadline`.
    status_t lookupUntil(const String16& name, sp<IBinder>* out, const Deadline& deadline);
    // Reads the answer to MSG_STATUS into `out`: 0, -ENOENT, or -EBADMSG.
    status_t takeHolder(Message& answer, ServiceHolder* out);
    // Asks again, alone, for the names refused for a busy host, all within one timeout.
    void lookupRefused(const String16* names, size_t count, sp<IBinder>* out, const bool* refused);

    String8 path_;
    int timeoutMs_;
    ClientConnection connection_;
    // What the registry of the current connection announced it does.
    uint32_t features_ = 0;
    sp<ChannelDirectory> channels_;
    Message answer_;  // reused for every answer
    // How long a wait for an answer polls before it sleeps, learnt on this connection.
    PollBudget poll_{pollingAllowed(), processorsOnline()};
    Parcel request_;  // and for every lookup's request
};

// Connects to the registry at `path` and completes the opening handshake. Returns 0, the
// connection and (when wanted) the registry's feature bits, or the failure (-ENOENT,
// -ECONNREFUSED, -ETIMEDOUT, -EPROTO for a peer that is not a registry, -EPROTONOSUPPORT
// for a registry of another major version, or the registry's refusal, such as -EUSERS).
status_t connectToRegistry(const char* path, int timeoutMs, unique_fd* out,
                           uint32_t* features = nullptr);

}  // namespace zorlek
