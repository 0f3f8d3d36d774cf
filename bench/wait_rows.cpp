// SPDX-License-Identifier: Apache-2.0
#include "bench/wait_rows.h"

#include <string>
#include <vector>

#include "bench/measure.h"
#include "bench/table.h"
#include "registry/watch_table.h"
#include "tests/support/colliding_names.h"

namespace zorlek::bench {
namespace {

constexpr size_t kPerWait = 1024;
constexpr size_t kOthers = 3;

// The median time of one wait of the last kPerWait of `names` made and dropped, while
// each earlier group of kPerWait waits in a client of its own; microseconds, or -1.
double waitMicros(const std::vector<std::u16string>& names) {
    if (names.size() != kPerWait * (kOthers + 1)) return -1;
    std::vector<std::vector<String16>> waits(kOthers + 1);
    for (size_t i = 0; i < names.size(); ++i) waits[i / kPerWait].emplace_back(names[i]);
    registry::NameTable table;
    registry::WatchTable watches;
    for (size_t client = 0; client < kOthers; ++client) {
        if (watches.add(client + 1, 1000, 0, waits[client], false, table)) return -1;
    }
    const std::vector<String16>& mine = waits[kOthers];
    return medianMicros(
        40,
        [&] {
            bool kept = !watches.add(99, 1000, 0, mine, false, table);
            watches.drop(99);
            return kept;
        },
        4);
}

}  // namespace

void collidingWaitRow() {
    std::vector<std::u16string> colliding = test::collidingNames(kPerWait * (kOthers + 1));
    double hostile = waitMicros(colliding);
    double plain = waitMicros(test::plainNames(kPerWait * (kOthers + 1)));
    row("a wait of 1,024 names that collide, 3 such waits kept", fixed(hostile, "µs", 0),
        "the same with names that do not: " + fixed(plain, "µs", 0),
        hostile > 0 && plain > 0 ? hostile / plain : -1, "≤ 2");
}

}  // namespace zorlek::bench
