// SPDX-License-Identifier: Apache-2.0
#include "platform/transport/event_loop.h"

#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "platform/base/deadline.h"

namespace zorlek {
Timer::Timer(EventLoop& loop, std::function<void()> fire) : loop_(loop), fire_(std::move(fire)) {}

Timer::~Timer() {
    disarm();
}

void Timer::armAt(int64_t atMs) {
    disarm();
    at_ = loop_.timers_.emplace(atMs, this);
    armed_ = true;
}

void Timer::armIn(int64_t ms) {
    armAt(monotonicMs() + ms);
}

void Timer::disarm() {
    if (!armed_) return;
    loop_.timers_.erase(at_);
    armed_ = false;
}

EventLoop::EventLoop()
    : epoll_(::epoll_create1(EPOLL_CLOEXEC)), stopEvent_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!epoll_ || !stopEvent_) {
        initStatus_ = -errno;
        return;
    }
    // The stop event is the one descriptor without a source: its wake-up is all it does.
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = nullptr;
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, stopEvent_.get(), &event) != 0) {
        initStatus_ = -errno;
    }
}

EventLoop::~EventLoop() = default;

status_t EventLoop::watch(int fd, uint32_t events, EventSource* source) {
    epoll_event event{};
    event.events = events;
    event.data.ptr = source;
    return ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event) == 0 ? OK : -errno;
}

status_t EventLoop::change(int fd, uint32_t events, EventSource* source) {
    epoll_event event{};
    event.events = events;
    event.data.ptr = source;
    return ::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, fd, &event) == 0 ? OK : -errno;
}

void EventLoop::unwatch(int fd) {
    // Fails only for a descriptor that is not watched, which needs nothing more.
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
}

void EventLoop::retire(std::unique_ptr<EventSource> source) {
    if (expected_ == source.get()) expected_ = nullptr;
    if (polled_ == source.get()) polled_ = nullptr;
    retired_.push_back(std::move(source));
}

void EventLoop::pollBeforeWait(int64_t ns, EventSource* expected) {
    if (ns <= 0) return;
    // Two requests that expect different sources expect none.
    expected_ = pollNs_ == 0 || expected_ == expected ? expected : nullptr;
    pollNs_ = std::max(ns, pollNs_);
}

void EventLoop::wake(EventSource* source) {
    if (std::find(woken_.begin(), woken_.end(), source) == woken_.end()) woken_.push_back(source);
}

void EventLoop::forget(EventSource* source) {
    if (expected_ == source) expected_ = nullptr;
    if (polled_ == source) polled_ = nullptr;
    woken_.erase(std::remove(woken_.begin(), woken_.end(), source), woken_.end());
}

void EventLoop::handleWoken() {
    // A woken source may wake others; each round takes those woken before it.
    while (!woken_.empty()) {
        std::vector<EventSource*> round = std::exchange(woken_, {});
        for (EventSource* source : round) source->onEvents(0);
    }
}

void EventLoop::stop() {
    int saved = errno;
    stopRequested_.store(true, std::memory_order_release);
    uint64_t one = 1;
    // Only write(2) here: this runs in signal handlers. The counter cannot overflow in
    // practice, and a failed write still leaves the flag for the next wake-up.
    if (::write(stopEvent_.get(), &one, sizeof(one)) < 0) {
    }
    errno = saved;
}

void EventLoop::clearStop() {
    stopRequested_.store(false, std::memory_order_release);
    uint64_t count;
    while (::read(stopEvent_.get(), &count, sizeof(count)) > 0) {
    }
}

int EventLoop::waitMs(int limitMs) const {
    if (!woken_.empty()) return 0;
    if (timers_.empty()) return limitMs;
    int64_t left = timers_.begin()->first - monotonicMs();
    if (left < 0) left = 0;
    if (limitMs >= 0 && left > limitMs) return limitMs;
    return left > INT32_MAX ? INT32_MAX : static_cast<int>(left);
}

void EventLoop::fireDueTimers() {
    int64_t now = monotonicMs();
    // A timer may arm itself or others again while it fires; only those due now run.
    while (!timers_.empty() && timers_.begin()->first <= now) {
        Timer* timer = timers_.begin()->second;
        timers_.erase(timers_.begin());
        timer->armed_ = false;
        timer->fire_();
    }
}

std::vector<EventSource*> EventLoop::hungUpNow() {
    std::vector<EventSource*> out;
    if (initStatus_ != OK) return out;
    epoll_event events[kEventBatch];
    // Level-triggered: what is ready stays so, and each call hands out the ready ones in
    // turn; a few rounds see past a first batch of ordinary readiness.
    for (int round = 0; round < 8; ++round) {
        int n = ::epoll_wait(epoll_.get(), events, kEventBatch, 0);
        for (int i = 0; i < n; ++i) {
            auto* source = static_cast<EventSource*>(events[i].data.ptr);
            if (source != nullptr && (events[i].events & (EPOLLHUP | EPOLLERR)) != 0 &&
                std::find(out.begin(), out.end(), source) == out.end()) {
                out.push_back(source);
            }
        }
        if (n < kEventBatch) break;
    }
    return out;
}

int EventLoop::pollReady(epoll_event* events, bool* read) {
    // The request is spent now: a handler that runs in a step may make the next one.
    int64_t now = monotonicNs(), until = now + std::exchange(pollNs_, 0);
    polled_ = std::exchange(expected_, nullptr);
    for (int step = 0;; ++step) {
        int n = 0;
        ++pollSteps_.count;
        if (polled_ != nullptr && step % 4 != 0) {
            // A handler in it runs as in a batch, and may read pollSteps().
            pollSteps_.underwaySinceNs = now;
            dispatching_ = true;
            *read = polled_->readNow();
            dispatching_ = false;
            pollSteps_.underwaySinceNs = 0;
            if (*read) return 0;
        } else {
            n = ::epoll_wait(epoll_.get(), events, kEventBatch, 0);
        }
        int64_t before = std::exchange(now, monotonicNs());
        pollSteps_.longestNs = std::max(pollSteps_.longestNs, now - before);
        if (n != 0 || stopRequested()) return n;
        if (now >= until) return 0;
    }
}

status_t EventLoop::runOnce(int timeoutMs) {
    if (initStatus_ != OK) return initStatus_;
    if (dispatching_) return -EDEADLK;
    if (stopRequested()) return -EINTR;
    epoll_event events[kEventBatch];
    int wait = waitMs(timeoutMs);
    pollSteps_ = PollSteps();
    bool read = false;
    int n = pollNs_ > 0 && wait != 0 ? pollReady(events, &read) : 0;
    polled_ = nullptr;
    if (!read) {
        // Spent, also when the wait was not to be polled for (a timer due).
        pollNs_ = 0;
        expected_ = nullptr;
    }
    if (n == 0 && !read) {
        pollSteps_ = PollSteps();
        n = ::epoll_wait(epoll_.get(), events, kEventBatch, wait);
    }
    if (n < 0) {
        if (errno != EINTR) return -errno;
        n = 0;
    }
    dispatching_ = true;
    for (int i = 0; i < n; ++i) {
        auto* source = static_cast<EventSource*>(events[i].data.ptr);
        if (source != nullptr) source->onEvents(events[i].events);
    }
    handleWoken();
    fireDueTimers();
    handleWoken();
    retired_.clear();
    dispatching_ = false;
    return stopRequested() ? -EINTR : OK;
}

status_t EventLoop::run() {
    status_t status;
    do {
        status = runOnce(-1);
    } while (status == OK);
    if (status != -EINTR) return status;
    clearStop();
    return OK;
}

namespace {

sigset_t setOf(std::initializer_list<int> signals) {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : signals) sigaddset(&set, signal);
    return set;
}

}  // namespace

void blockSignals(std::initializer_list<int> signals) {
    sigset_t set = setOf(signals);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

SignalSource::SignalSource(EventLoop& loop, std::function<void(int)> onSignal)
    : loop_(loop), onSignal_(std::move(onSignal)) {}

SignalSource::~SignalSource() {
    if (fd_) loop_.unwatch(fd_.get());
}

status_t SignalSource::start(std::initializer_list<int> signals) {
    sigset_t set = setOf(signals);
    fd_.reset(::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
    if (!fd_) return -errno;
    return loop_.watch(fd_.get(), EPOLLIN, this);
}

void SignalSource::onEvents(uint32_t /*events*/) {
    // What came before this wake-up, a bounded batch at a time: the loop wakes again for
    // more.
    signalfd_siginfo info[8];
    ssize_t got = ::read(fd_.get(), info, sizeof info);
    for (ssize_t i = 0; got > 0 && i < got / static_cast<ssize_t>(sizeof info[0]); ++i) {
        onSignal_(static_cast<int>(info[i].ssi_signo));
    }
}

}  // namespace zorlek
