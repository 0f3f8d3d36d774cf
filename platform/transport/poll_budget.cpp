// SPDX-License-Identifier: Apache-2.0
#include "platform/transport/poll_budget.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>

#include "platform/transport/event_loop.h"

namespace zorlek {

PollBudget::PollBudget(bool enabled, int cpus, const PollLimits& limits)
    : limits_(limits),
      usable_(enabled && cpus > 1),
      credit_(limits.startCredit),
      pauseNs_(limits.firstPauseNs) {}

int64_t PollBudget::plan(int64_t nowNs) const {
    if (!usable_ || paused(nowNs) || sleptWaits_ < limits_.learningWaits) return 0;
    int64_t budget = wakeNs();
    return budget >= limits_.floorNs ? budget : 0;
}

int64_t PollBudget::wakeNs() const {
    if (sleptWaits_ == 0) return 0;
    return std::clamp<int64_t>(sleptNs_ - hitNs_, 0, limits_.capNs);
}

void PollBudget::record(int64_t nowNs, int64_t plannedNs, int64_t waitedNs, bool lostCpu) {
    waitedNs = std::max<int64_t>(waitedNs, 0);
    if (plannedNs <= 0) return learn(waitedNs);
    if (waitedNs <= plannedNs && !lostCpu) {
        // The quicker polls say what a wake-up costs, so the mean follows a quicker wait
        // fast and a slower one slowly: a peer slowed for a while (by its own wake-ups,
        // while it stopped polling) would otherwise shrink the budget just when it needs
        // the room, and both ends would stop each other.
        int64_t step = waitedNs < hitNs_ ? (waitedNs - hitNs_) / 2 : (waitedNs - hitNs_) / 16;
        hitNs_ = hitNs_ == 0 ? waitedNs : hitNs_ + step;
        credit_ = std::min(credit_ + 1, limits_.creditMax);
        // A good spell: the next stop pauses only briefly again.
        if (credit_ == limits_.creditMax) pauseNs_ = limits_.firstPauseNs;
        return;
    }
    credit_ -= 2;
    if (credit_ < 0) stop(nowNs);
}

void PollBudget::learn(int64_t waitedNs) {
    // An idle peer, or one slower than any poll would wait, says nothing of a wake-up.
    if (waitedNs > limits_.longestSampleNs) return;
    sleptNs_ = sleptWaits_ == 0 ? waitedNs : sleptNs_ + (waitedNs - sleptNs_) / 4;
    if (sleptWaits_ < limits_.learningWaits) ++sleptWaits_;
}

void PollBudget::stop(int64_t nowNs) {
    pausedUntilNs_ = nowNs + pauseNs_;
    pauseNs_ = std::min(pauseNs_ * 2, limits_.longestPauseNs);
    credit_ = limits_.startCredit;
}

void AnswerPoll::requested(int64_t nowNs, const PollSteps& steps) {
    if (!answered_) return;
    // There at the first check: sleeping would have cost nothing either.
    if (steps.count != 1) {
        // A step still under way (a read at once that brought this request) counts to now.
        int64_t underway = steps.underwaySinceNs > 0 ? nowNs - steps.underwaySinceNs : 0;
        int64_t longest = underway > steps.longestNs ? underway : steps.longestNs;
        budget_.record(nowNs, plannedNs_, nowNs - answeredNs_,
                       longest > budget_.limits().lostCpuNs);
    }
    answered_ = false;
}

int64_t AnswerPoll::answered(int64_t nowNs) {
    answered_ = true;
    answeredNs_ = nowNs;
    plannedNs_ = budget_.plan(nowNs);
    return plannedNs_;
}

bool pollingAllowed() {
    const char* setting = std::getenv("ZORLEK_POLL");
    return setting == nullptr || setting[0] != '0' || setting[1] != '\0';
}

int processorsOnline() {
    // Zero until the first call; threads asking at once store the same value.
    static std::atomic<int> online{0};
    int value = online.load(std::memory_order_relaxed);
    if (value != 0) return value;
    long read = ::sysconf(_SC_NPROCESSORS_ONLN);
    value = read >= 1 && read < 1 << 20 ? static_cast<int>(read) : 1;
    online.store(value, std::memory_order_relaxed);
    return value;
}

}  // namespace zorlek
