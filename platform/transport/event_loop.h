// SPDX-License-Identifier: Apache-2.0
// The one event loop of the platform: epoll on one thread, for the registry daemon and for
// every hosting process. Descriptors are watched for a source object that handles their
// readiness; timers fire at points on the monotonic clock; stop() is safe from a signal
// handler. Objects that end while an event is handled (a dropped connection) are retired
// and destroyed only once the whole batch of events has been handled, so no later event of
// the same batch can reach freed memory.
#pragma once

#include <sys/epoll.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <vector>

#include "platform/base/status.h"
#include "platform/base/unique_fd.h"

namespace zorlek {

class EventLoop;

// The steps of a check for ready descriptors without sleeping (EventLoop::pollBeforeWait):
// how many it made (the first always over every descriptor), the longest time one took,
// in nanoseconds, and when the step still under way began, if a read at once of the
// expected source is what brought the events being handled (0 otherwise).
struct PollSteps {
    int count = 0;
    int64_t longestNs = 0;
    int64_t underwaySinceNs = 0;
};

// Something the loop wakes for when a watched descriptor is ready.
class EventSource {
  public:
    virtual ~EventSource() = default;
    // `events` are epoll's flags (EPOLLIN, EPOLLOUT, EPOLLHUP, EPOLLERR).
    virtual void onEvents(uint32_t events) = 0;
    // Reads what its descriptor holds without waiting and handles it as onEvents(EPOLLIN)
    // would, for a loop that polls this source first (EventLoop::pollBeforeWait). False
    // when nothing was there; true when something was handled, or when polling it no longer
    // makes sense (it ended, or does not read now). Sources that cannot say leave it true.
    virtual bool readNow() { return true; }
};

// A callback at a point on the monotonic clock, armed and disarmed at will. Disarmed on
// destruction; must not outlive its loop.
class Timer {
  public:
    Timer(EventLoop& loop, std::function<void()> fire);
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    // Fires once at `atMs` (monotonicMs()); replaces an earlier arming.
    void armAt(int64_t atMs);
    // Fires once `ms` milliseconds from now.
    void armIn(int64_t ms);
    void disarm();
    bool armed() const { return armed_; }

  private:
    friend class EventLoop;
    EventLoop& loop_;
    std::function<void()> fire_;
    bool armed_ = false;
    std::multimap<int64_t, Timer*>::iterator at_;
};

class EventLoop {
  public:
    EventLoop();
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // 0 once the loop could be made (its epoll and stop descriptors), else the -errno.
    status_t initStatus() const { return initStatus_; }

    // Starts, changes and ends watching `fd` for `source` (not owned; it must stay alive
    // while watched, or be retired). Each returns 0 or the -errno of epoll_ctl.
    status_t watch(int fd, uint32_t events, EventSource* source);
    status_t change(int fd, uint32_t events, EventSource* source);
    void unwatch(int fd);

    // Takes `source` (already unwatched) and destroys it once the current batch of
    // events has been handled.
    void retire(std::unique_ptr<EventSource> source);

    // Has `source` handle an empty event (onEvents(0)) after the current batch, as if
    // woken: for work that became possible without its descriptor becoming ready.
    // forget() takes the request back (a source that goes away first).
    void wake(EventSource* source);
    void forget(EventSource* source);

    // The sources whose descriptors have hung up or failed (EPOLLHUP, EPOLLERR) by now,
    // whether or not their events have been handled yet; the events stay for the loop to
    // handle as ever. One epoll_wait that does not wait.
    std::vector<EventSource*> hungUpNow();

    // Waits at most `timeoutMs` (-1: without a bound) for the first ready descriptor or
    // due timer, then handles every one that is ready. Returns 0; -EINTR when stop() has
    // been asked for (the request stays until clearStop()); or the -errno of epoll_wait.
    status_t runOnce(int timeoutMs);
    // Runs until stop(); 0 then (the request is cleared), or the -errno of epoll_wait.
    status_t run();
    // True while the loop handles events (inside runOnce), when running it again would
    // free what the handling in progress still uses; runOnce() then refuses, -EDEADLK.
    bool dispatching() const { return dispatching_; }

    // Before its next wait, checks for ready descriptors without sleeping for up to `ns`
    // nanoseconds (the longest asked for since the last wait): for a host that has just
    // answered and expects the next call soon. `expected` (not owned), when every request
    // since the last wait named the same, is read at once (readNow) in most steps, which
    // spares a system call; every fourth step, and the first, checks every descriptor, so
    // no other waits on it. Once the check ends the request is spent.
    void pollBeforeWait(int64_t ns, EventSource* expected = nullptr);
    // The check that brought the events being handled: its steps and the longest of them
    // (one that long lost the processor meanwhile); none when they came otherwise.
    const PollSteps& pollSteps() const { return pollSteps_; }

    // Makes run() return and runOnce() return -EINTR, now or at its next call.
    // Async-signal-safe.
    void stop();
    bool stopRequested() const { return stopRequested_.load(std::memory_order_acquire); }
    void clearStop();

  private:
    friend class Timer;
    // Milliseconds until the earliest timer, capped by `limitMs` (-1: no cap).
    int waitMs(int limitMs) const;
    void fireDueTimers();
    // Checks without waiting, over and over for the time pollBeforeWait() asked for, until
    // something is ready or a stop is asked for: epoll_wait, or a read at once of the
    // expected source (three steps in four). Its result as epoll_wait's; sets `read` when
    // a read at once handled something instead.
    int pollReady(epoll_event* events, bool* read);
    void handleWoken();

    status_t initStatus_ = OK;
    unique_fd epoll_;
    unique_fd stopEvent_;
    std::atomic<bool> stopRequested_{false};
    bool dispatching_ = false;
    int64_t pollNs_ = 0;
    EventSource* expected_ = nullptr;  // meaningful while pollNs_ > 0 (a poll is asked for)
    EventSource* polled_ = nullptr;    // the expected source of the poll under way
    PollSteps pollSteps_;
    std::multimap<int64_t, Timer*> timers_;
    std::vector<EventSource*> woken_;
    // Last, so destroyed first: a retired source's destructor still calls back into the
    // loop (unwatch, forget, its timers).
    std::vector<std::unique_ptr<EventSource>> retired_;
};

// Signals handled as events: each that comes is read from a signal descriptor the loop
// watches, and handled between two events, where anything may be done (no handler runs
// in the middle of other code). The signals must be blocked (blockSignals) in every thread
// before they can come, or their default action runs instead. Must not outlive its loop.
class SignalSource final : private EventSource {
  public:
    // `onSignal` is called with the number of each signal that came; several of one kind
    // before the loop wakes may be one call.
    SignalSource(EventLoop& loop, std::function<void(int signal)> onSignal);
    ~SignalSource() override;
    SignalSource(const SignalSource&) = delete;
    SignalSource& operator=(const SignalSource&) = delete;

    // Watches for `signals` (blocked already): 0, or a negative errno.
    status_t start(std::initializer_list<int> signals);

  private:
    void onEvents(uint32_t events) override;

    EventLoop& loop_;
    std::function<void(int)> onSignal_;
    unique_fd fd_;
};

// Blocks `signals` in this thread and in the threads it starts from now on, so that they
// wait for a SignalSource. A program does this first, before any thread starts.
void blockSignals(std::initializer_list<int> signals);

}  // namespace zorlek
