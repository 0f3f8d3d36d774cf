#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <unordered_map>
#include <vector>

#include "platform/ipc/call_timeout.h"
#include "platform/ipc/local_object.h"
#include "platform/ipc/message_reader.h"
#include "platform/ipc/out_queue.h"
#include "platform/ipc/unique_fd.h"
#include "platform/text/string16.h"
#include "platform/text/string8.h"

namespace zorlek {

// Offers LocalObjects to other processes under registered names, and serves their
// transactions on one thread.
//
//     ServiceHost host;
//     status_t status = host.connect();                  // to $ZORLEK_REGISTRY
//     if (status == OK) status = host.addService(String16("my.name"), make<MyObject>());
//     if (status != OK) { report describeHostStatus(status); exit }
//     host.serve();                                       // until host.stop()
//
// The serving loop (epoll) watches the registry connection and every private channel
// that clients opened by looking a name up. It never blocks on one peer: replies that a
// client does not read wait in that channel's queue (and the channel is not read while
// much waits), a channel that sends malformed bytes is closed, a closed one is noticed
// and dropped. One-way calls get no reply; a reply that would pass 1 MiB is answered
// with -EMSGSIZE and an empty reply.
//
// When the registry connection breaks (the registry restarted), serve() connects again
// with a growing pause between tries (capped at 250 ms) and registers every name anew.
// A name refused then (taken meanwhile by someone else) stays unregistered.
//
// Not thread-safe, except stop(), which may be called from a signal handler.
class ServiceHost {
  public:
    // `timeoutMs` bounds each wait for the registry's answers.
    explicit ServiceHost(int timeoutMs = callTimeoutMs());
    ~ServiceHost();
    ServiceHost(const ServiceHost&) = delete;
    ServiceHost& operator=(const ServiceHost&) = delete;

    // Connects to the registry at registryPath() (or at `path`) and completes the
    // handshake. Returns 0, or -ENOENT / -ECONNREFUSED (no registry there), -ETIMEDOUT,
    // -EPROTO (the peer is not a registry), -EISCONN (already connected), -errno.
    status_t connect();
    status_t connect(const char* path);

    // Registers `object` under `name` and waits (bounded) for the registry's answer,
    // serving meanwhile. Returns 0; -EINVAL for a name the registry does not accept (or
    // a null object); -EEXIST when the name is held (also by this host); -EPERM when
    // this user may not register; -EPIPE / -ETIMEDOUT when the registry is gone or
    // silent; -ENOTCONN before connect(); -EINTR when stop() came first. Call it before
    // serve() or between two serve() calls.
    status_t addService(const String16& name, const sp<LocalObject>& object);

    // Serves until stop(). Returns 0 after stop(), or a negative errno when the loop
    // itself failed. A stop() that came before serve() makes it return at once.
    status_t serve();

    // Makes the running (or the next) serve() return. Async-signal-safe.
    void stop();

    // True when `name` was added and the registry currently holds it for this host.
    bool isRegistered(const String16& name) const;

  private:
    struct Channel;
    struct Entry {
        String16 name;
        sp<LocalObject> object;
        bool registered = false;
    };
    struct PendingRegistration {
        size_t entry;
        status_t* result;  // where a waiting addService wants the answer; may be null
    };

    status_t attachRegistry(unique_fd sock);
    void registryLost(status_t why);
    void scheduleReconnect();
    void tryReconnect();
    status_t queueRegistration(size_t entry, status_t* result);
    void onRegistryEvent(uint32_t events);
    bool handleRegistryMessage(Message& message);
    void addChannel(unique_fd sock, const sp<LocalObject>& object);
    void onChannelEvent(uint64_t id, uint32_t events);
    bool handleTransaction(Channel& channel, Message& message);
    void closeChannel(uint64_t id);
    void updateChannelEvents(uint64_t id, Channel& channel);
    void updateRegistryEvents();
    // Waits at most `timeoutMs` for events and handles them. -EINTR once stop() came.
    status_t pump(int timeoutMs);
    int nextWakeMs() const;

    int timeoutMs_;
    int reconnectPauseMs_;  // the pause before the next reconnection try
    unique_fd epoll_;
    unique_fd stopEvent_;
    std::atomic<bool> stopRequested_{false};
    bool serving_ = false;

    String8 path_;
    unique_fd registry_;
    std::unique_ptr<MessageReader> registryReader_;
    OutQueue registryOut_;
    bool registryWritable_ = false;  // EPOLLOUT requested
    bool helloPending_ = false;
    std::deque<PendingRegistration> pending_;
    int64_t answerDueMs_ = 0;  // when the registry's oldest awaited answer is overdue
    int64_t reconnectAtMs_ = -1;

    std::vector<Entry> entries_;
    std::unordered_map<uint64_t, std::unique_ptr<Channel>> channels_;
    uint64_t nextChannelId_ = 2;
    Message scratch_;  // reused for each message taken off a connection
    Parcel reply_;     // reused for each reply
};

// A short English text for a status from ServiceHost (e.g. "the name is already
// registered" for -EEXIST), for a program's error line.
const char* describeHostStatus(status_t status);

}  // namespace zorlek
