// SPDX-License-Identifier: Apache-2.0
// A hosting process's connection to the registry: the handshake, the registration of
// every name the process serves, the channels the registry hands over, and connecting
// again after the registry restarted. Internal to the hosting library.
#pragma once

#include <deque>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/hosting/channel_server.h"
#include "platform/text/string16.h"
#include "platform/text/string8.h"
#include "platform/transport/connection.h"

namespace zorlek {

class RegistryLink final : private ConnectionOwner {
  public:
    // Names are registered for the objects of `objects`; channels the registry hands over
    // go to `channels`; `options.timeoutMs` bounds each wait for the registry's answers.
    RegistryLink(EventLoop& loop, ObjectTable& objects, ChannelServer& channels,
                 const HostOptions& options);
    ~RegistryLink();
    RegistryLink(const RegistryLink&) = delete;
    RegistryLink& operator=(const RegistryLink&) = delete;

    // Connects to the registry at `path` and completes the handshake in the loop, waiting
    // at most the timeout. 0; -EISCONN when connected; -EINTR when the loop is asked to
    // stop meanwhile; -EAGAIN when the registry's backlog is full; -EPROTO for a peer that
    // is not a registry, -EPROTONOSUPPORT for one of another version, the registry's
    // refusal (-EUSERS, -EMFILE), or the failure of the connection.
    status_t connect(const char* path);

    // Adds `name` for `object` and asks the registry for it. `*result` stays positive
    // until the answer (or the loss of the connection) sets it; null when nobody waits.
    // Returns 0; -ENOTCONN; -EEXIST for a name this host already serves; or why the
    // request could not be sent (-ENOMEM, -EMSGSIZE, or the failure that closed the
    // connection), the name then forgotten and `*result` left as it was.
    status_t add(const String16& name, const sp<LocalObject>& object, status_t* result);
    // After a failed add: forgets whoever waits on `result`, and the name itself unless
    // its answer is still due (the wait was given up), so that the answer finds it.
    void settleFailed(status_t* result);
    // Ends the connection with `why` (a registry that stopped answering).
    void disconnect(status_t why);

    // While serving, a lost connection is tried again after a growing pause (capped at
    // 250 ms) and every name is registered anew; a name refused then is asked for again
    // after a growing pause (capped at 5 s).
    void setServing(bool serving);

    // True when `name` was added and the registry currently holds it for this host.
    bool isRegistered(const String16& name) const;

    // What the registry said of the last registration it refused (who may hold the name),
    // made safe to print; empty when it said nothing.
    const String8& refusalReason() const { return refusalReason_; }

  private:
    // The i-th name added is for the object with handle i + 1.
    struct Entry {
        String16 name;
        bool registered = false;
        // To be asked for again after a pause: refused when asked for anew, or its request
        // could not be sent then. A refusal is told once per run of refusals.
        bool refused = false;
        bool refusalTold = false;
    };
    struct Pending {
        size_t entry;
        status_t* result;  // where a waiting add wants the answer; may be null
        int64_t dueMs;     // when its answer is overdue, whatever comes meanwhile
    };
    // The entry for `name`; null when this host does not serve it.
    const Entry* find(const String16& name) const;
    static uint32_t handleOf(size_t entry) { return static_cast<uint32_t>(entry + 1); }

    status_t attach(unique_fd sock);
    // Sends the handshake on the new connection.
    status_t greet();
    // Asks for the name of `entry`; pending only once its request went out.
    status_t sendRegistration(size_t entry, status_t* result);
    // A request that could not be sent while connected: asked for again after a pause.
    // False when the connection is gone (every name is asked for when it is back).
    bool askLater(size_t entry);
    // Takes back the entry added last, and its object.
    void forgetLast();
    void scheduleReconnect();
    void reconnect();
    // Asks again for the names refused at re-registration.
    void retryRefused();
    void refusedAgain(Entry& entry, status_t status);
    // Arms the answer timer while an answer is awaited, disarms it otherwise.
    void awaitAnswers();

    bool onMessage(Connection& connection, Message& message) override;
    void onClosed(Connection& connection, status_t why) override;
    bool handleChannel(Message& message);
    // MSG_TAP: a monitor's tap, kept by the channel server.
    bool handleTap(Message& message);

    EventLoop& loop_;
    ObjectTable& objects_;
    ChannelServer& channels_;
    const HostOptions& options_;
    int reconnectPauseMs_;
    int retryPauseMs_;
    bool serving_ = false;
    String8 path_;
    std::unique_ptr<Connection> connection_;
    bool helloPending_ = false;
    int64_t helloDueMs_ = 0;
    // Why the last connection ended (the handshake's refusal, say).
    status_t lastClose_ = OK;
    String8 refusalReason_;
    std::deque<Pending> pending_;
    std::vector<Entry> entries_;
    // Where each name's entry is, so that adding a name costs the same however many the
    // host serves.
    std::unordered_map<String16, size_t> index_;
    Timer answerDue_;  // the registry's oldest awaited answer is overdue
    Timer reconnectTimer_;
    Timer retryTimer_;
};

}  // namespace zorlek
