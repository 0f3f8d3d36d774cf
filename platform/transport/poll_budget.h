// SPDX-License-Identifier: Apache-2.0
// How long one end of a channel checks for its peer's next message without sleeping,
// before it sleeps as ever. Sleeping costs a wake-up when the message comes (a switch of
// processes, and between processors an interrupt, on a virtual machine an exit as well);
// a bounded poll costs only the time it runs. The budget is learnt per channel: first
// from waits that slept (what a sleeping wait costs there, bounded above), then polls for
// that long; polls that find nothing, or that lose their processor meanwhile (both ends
// on one processor, or no idle one), turn it off for a pause that doubles while it keeps
// not paying, after which it is tried again. Time comes from the caller in nanoseconds of
// one monotonic clock, so the decisions depend on nothing else.
#pragma once

#include <cstdint>

#include "platform/base/limits.h"

namespace zorlek {

struct PollSteps;

// The setting: false when $ZORLEK_POLL is "0" (polling off, for example on battery),
// true otherwise. Read afresh at each call: a channel reads it when it is made.
bool pollingAllowed();
// The processors online, read once per process; 1 when it cannot be read.
int processorsOnline();

struct PollLimits {
    // The longest poll: however costly a wake-up is measured, no end polls longer.
    int64_t capNs = int64_t{kPollCapUs} * 1000;
    // A budget below this is not worth a poll's first receive.
    int64_t floorNs = int64_t{kPollFloorUs} * 1000;
    // Waits that slept before polling begins.
    int learningWaits = kPollLearningWaits;
    // A sleeping wait longer than this measured the peer's pace, not a wake-up.
    int64_t longestSampleNs = int64_t{kPollLongestSampleUs} * 1000;
    // Credit on a (re)start; a hit adds one (up to creditMax), a miss takes two, and
    // polling stops once it falls below zero: it needs two hits in three to go on.
    int startCredit = kPollStartCredit;
    int creditMax = kPollMostCredit;
    // The first pause once polling stopped, and the longest it doubles to.
    int64_t firstPauseNs = int64_t{kPollFirstPauseMs} * 1000000;
    int64_t longestPauseNs = int64_t{kPollLongestPauseMs} * 1000000;
    // A step of a poll that took this long lost its processor to another task.
    int64_t lostCpuNs = int64_t{kPollLostCpuUs} * 1000;
};

class PollBudget {
  public:
    // `enabled` is the setting (pollingAllowed()); `cpus` the processors online: with one,
    // the peer can only run once this end sleeps, so it never polls.
    PollBudget(bool enabled, int cpus, const PollLimits& limits = PollLimits());

    // How long to poll for the message awaited from now (`nowNs`), 0 to sleep at once.
    int64_t plan(int64_t nowNs) const;

    // The message came `waitedNs` after the wait began at a plan() of `plannedNs` (0 when
    // it did not poll). `lostCpu`: a step of the poll took longer than limits.lostCpuNs.
    // A message that came within the plan while the poll held its processor is a hit;
    // a poll that ran out, or lost its processor, is a miss.
    void record(int64_t nowNs, int64_t plannedNs, int64_t waitedNs, bool lostCpu);

    // What a sleeping wait costs on this channel by now, less what the quicker polls that
    // found the message took, bounded by limits.capNs; 0 until it has been measured.
    int64_t wakeNs() const;
    // False where the setting or the processors rule polling out for good: then nothing
    // need be measured for it.
    bool usable() const { return usable_; }
    // True while polling stands stopped, until pausedUntil().
    bool paused(int64_t nowNs) const { return nowNs < pausedUntilNs_; }
    int64_t pausedUntil() const { return pausedUntilNs_; }

    const PollLimits& limits() const { return limits_; }

  private:
    // A wait that slept (or a poll that ran out) measured `waitedNs`.
    void learn(int64_t waitedNs);
    // Stops polling until nowNs + the pause, and doubles the pause.
    void stop(int64_t nowNs);

    PollLimits limits_;
    bool usable_;
    int sleptWaits_ = 0;
    int64_t sleptNs_ = 0;  // moving mean of sleeping waits
    int64_t hitNs_ = 0;    // moving mean of waits a poll ended; 0 before the first
    int credit_;
    int64_t pauseNs_;
    int64_t pausedUntilNs_ = 0;
};

// The answering end of a channel: after each answer it polls for the channel's next
// request, for as long as the channel's budget says, before its loop sleeps again.
class AnswerPoll {
  public:
    AnswerPoll() : budget_(pollingAllowed(), processorsOnline()) {}
    explicit AnswerPoll(const PollBudget& budget) : budget_(budget) {}
    // A request came at `nowNs`, in the poll `steps` (EventLoop::pollSteps()): the wait
    // since the last answer is recorded, once (the requests read with it waited for
    // nothing), unless it was there at the poll's first check, which sleeping would have
    // found as soon.
    void requested(int64_t nowNs, const PollSteps& steps);
    // An answer went at `nowNs`: how long to poll for the next request (0: none).
    int64_t answered(int64_t nowNs);
    // False where polling is off for good: requested() and answered() need not be called.
    bool measures() const { return budget_.usable(); }

  private:
    PollBudget budget_;
    bool answered_ = false;  // until the next request came
    int64_t answeredNs_ = 0;
    int64_t plannedNs_ = 0;
};

}  // namespace zorlek
