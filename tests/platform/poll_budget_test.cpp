// SPDX-License-Identifier: Apache-2.0
// The polling budget's decisions, driven by a clock the test moves: what it learns from
// sleeping waits, its cap, when it stops (one processor, a slow peer, a lost processor,
// the setting) and when it tries again. Nothing here reads the wall clock.

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

#include "platform/transport/event_loop.h"
#include "platform/transport/poll_budget.h"

namespace zorlek::test {
namespace {

constexpr int64_t kUs = 1000;
constexpr int64_t kMs = 1000 * kUs;

// One step at `at` microseconds on the test's clock: a wait that slept and took `waited`;
// a wait that polled as plan() said and ended after `waited` (`lost`: its processor was
// taken meanwhile); or what plan() says then, checked against `expect`.
struct Step {
    enum Kind { kSlept, kPolled, kPlan } kind;
    int64_t at;
    int64_t waited = 0;
    bool lost = false;
    int64_t expect = 0;
};

Step slept(int64_t at, int64_t waited) {
    return {Step::kSlept, at, waited};
}
Step polled(int64_t at, int64_t waited, bool lost = false) {
    return {Step::kPolled, at, waited, lost};
}
Step plan(int64_t at, int64_t expect) {
    return {Step::kPlan, at, 0, false, expect};
}

// Four sleeping waits of `waited` microseconds from `from` on, one a millisecond.
std::vector<Step> learnt(int64_t waited, int64_t from = 0) {
    std::vector<Step> steps;
    for (int64_t i = 0; i < 4; ++i) steps.push_back(slept(from + i * 1000, waited));
    return steps;
}

// The steps of `parts`, one after another.
std::vector<Step> join(std::initializer_list<std::vector<Step>> parts) {
    std::vector<Step> steps;
    for (const auto& part : parts) steps.insert(steps.end(), part.begin(), part.end());
    return steps;
}

struct Row {
    const char* what;
    bool enabled;
    int cpus;
    std::vector<Step> steps;
};

const Row kRows[] = {
    {"learns nothing before four sleeping waits",
     true,
     2,
     {slept(0, 40), slept(1000, 40), slept(2000, 40), plan(3000, 0)}},
    {"polls for what a sleeping wait costs once learnt", true, 2,
     join({learnt(40), {plan(5000, 40)}})},
    {"follows the sleeping waits as a moving mean", true, 2,
     join({learnt(40), {slept(5000, 80), plan(6000, 50)}})},
    {"no longer than the cap, however costly a wake-up", true, 2,
     join({learnt(300), {plan(5000, 100)}})},
    {"takes what a poll that found the reply took off the wake-up", true, 2,
     join({learnt(40), {polled(5000, 4), plan(6000, 36), polled(7000, 20), plan(8000, 35)}})},
    {"a quicker poll counts at once, a slower one slowly (a peer slowed for a while)", true, 2,
     join({learnt(40),
           {polled(5000, 10), polled(6000, 26), plan(7000, 29), polled(8000, 5), plan(9000, 32)}})},
    {"never on one processor", true, 1, join({learnt(40), {plan(5000, 0), plan(60000000, 0)}})},
    {"never when the setting is off", false, 2, join({learnt(40), {plan(5000, 0)}})},
    {"an idle peer's long waits teach nothing", true, 2,
     join({learnt(2000000),
           {plan(5000, 0)},
           learnt(40, 6000),
           {slept(11000, 2000000), plan(12000, 40)}})},
    {"a wake-up too cheap to poll for is slept", true, 2, join({learnt(0), {plan(5000, 0)}})},
    {"stops when the peer answers slower than the budget", true, 2,
     join({learnt(40),
           {polled(5000, 60), plan(6000, 40), polled(7000, 60), plan(8000, 0),
            plan(7060 + 50000 - 1, 0)}})},
    {"tried again after the pause", true, 2,
     join({learnt(40), {polled(5000, 60), polled(7000, 60), plan(7060 + 50000, 40)}})},
    {"the pause doubles while polling keeps not paying", true, 2,
     join({learnt(40),
           {polled(5000, 60), polled(7000, 60), polled(60000, 60), polled(61000, 60),
            plan(61060 + 100000 - 1, 0), plan(61060 + 100000, 40)}})},
    {"a good spell makes the next pause short again", true, 2,
     join({learnt(40),
           {polled(5000, 60), polled(7000, 60), polled(60000, 5), polled(61000, 5),
            polled(62000, 5), polled(63000, 5), polled(64000, 5), polled(65000, 60),
            polled(66000, 60), polled(67000, 60), polled(68000, 60), polled(69000, 60),
            plan(69060 + 50000 - 1, 0), plan(69060 + 50000, 35)}})},
    {"stops when the poll loses its processor (no idle one, or both ends on one)", true, 2,
     join({learnt(40), {polled(5000, 3, true), polled(6000, 3, true), plan(7000, 0)}})},
    {"goes on at two hits in three", true, 2,
     join({learnt(40),
           {polled(5000, 4), polled(6000, 4), polled(7000, 60), polled(8000, 4), polled(9000, 4),
            polled(10000, 60), polled(11000, 4), polled(12000, 4), polled(13000, 60),
            plan(14000, 36)}})},
    {"stops at one hit in two", true, 2,
     join({learnt(40),
           {polled(5000, 4), polled(6000, 60), polled(7000, 4), polled(8000, 60), polled(9000, 4),
            polled(10000, 60), polled(11000, 4), polled(12000, 60), plan(13000, 0)}})},
};

TEST(PollBudget, DecidesAsTheTableSays) {
    for (const Row& row : kRows) {
        PollBudget budget(row.enabled, row.cpus);
        for (size_t i = 0; i < row.steps.size(); ++i) {
            const Step& step = row.steps[i];
            int64_t now = step.at * kUs;
            if (step.kind == Step::kPlan) {
                EXPECT_EQ(budget.plan(now), step.expect * kUs) << row.what << ", step " << i;
                continue;
            }
            int64_t planned = step.kind == Step::kPolled ? budget.plan(now) : 0;
            if (step.kind == Step::kPolled) {
                ASSERT_GT(planned, 0) << row.what << ", step " << i << ": not polling";
            }
            // The wait ends after its time, and is recorded then: a stop pauses from there.
            budget.record(now + step.waited * kUs, planned, step.waited * kUs, step.lost);
        }
    }
}

// The answering end: what it records of each wait between an answer and the next request.
TEST(AnswerPoll, RecordsTheWaitFromEachAnswerToTheNextRequestOnce) {
    struct AnswerRow {
        const char* what;
        PollSteps steps;  // of the check the next request came in
        int requests;     // read at once after each answer
        int64_t plan;     // after four answers, microseconds
    } rows[] = {
        {"sleeping waits teach the budget", {0, 0}, 1, 40},
        {"requests read with the first taught nothing more", {0, 0}, 3, 40},
        {"a request there at the first check teaches nothing", {1, 0}, 1, 0},
    };
    for (const AnswerRow& row : rows) {
        AnswerPoll poll{PollBudget(true, 2)};
        int64_t now = 0;
        int64_t planned = 0;
        for (int answer = 0; answer < 4; ++answer) {
            EXPECT_EQ(poll.answered(now), 0) << row.what << ", still learning";
            now += 40 * kUs;
            for (int i = 0; i < row.requests; ++i) poll.requested(now + i * kUs, row.steps);
            now += kMs;
        }
        planned = poll.answered(now);
        EXPECT_EQ(planned, row.plan * kUs) << row.what;
    }
    // Polling: requests that come in its checks after their budget, or in a check that
    // lost its processor, are misses that stop it; its first check's are neither.
    // A read at once still under way when the request came counts to that moment.
    struct PolledRow {
        PollSteps steps;
        int64_t waited, underwayFor;  // microseconds
        bool stops;
    } polled[] = {
        {{1, 0}, 1, 0, false},       {{5, 0}, 60, 0, true},       {{3, 50 * kUs}, 5, 0, true},
        {{3, 2 * kUs}, 5, 3, false}, {{3, 2 * kUs}, 5, 50, true},
    };
    for (const PolledRow& row : polled) {
        size_t k = &row - polled;
        AnswerPoll poll{PollBudget(true, 2)};
        int64_t now = 0;
        for (int answer = 0; answer < 4; ++answer, now += kMs) {
            poll.answered(now);
            poll.requested(now + 40 * kUs, PollSteps());
        }
        for (int answer = 0; answer < 2; ++answer, now += kMs) {
            ASSERT_GT(poll.answered(now), 0) << k;
            PollSteps steps = row.steps;
            int64_t came = now + row.waited * kUs;
            if (row.underwayFor > 0) steps.underwaySinceNs = came - row.underwayFor * kUs;
            poll.requested(came, steps);
        }
        EXPECT_EQ(poll.answered(now) == 0, row.stops) << k;
    }
}

}  // namespace
}  // namespace zorlek::test
