// SPDX-License-Identifier: Apache-2.0
// Writing the performance table, and the names and hosts its rows list.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "harness/harness.h"

namespace zorlek::bench {

// One Markdown row; a ratio of 0 or less is written as "failed".
void row(const std::string& what, const std::string& measured, const std::string& baseline,
         double ratio, const std::string& target);

// `value` with `decimals` decimals and its unit.
std::string fixed(double value, const char* unit, int decimals = 1);

// The index-th name the benchmarks register: bench.svc000000 and on.
std::string name(int index);

// Hosts names [from, to) in zorlek-echo processes of at most `perHost` names each (with
// `options` before the names), started together; null entries when one did not get ready.
void host(test::Registry& registry, int from, int to,
          std::vector<std::unique_ptr<test::Process>>* hosts, int perHost = 20000,
          const std::vector<std::string>& options = {});

}  // namespace zorlek::bench
