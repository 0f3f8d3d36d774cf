// SPDX-License-Identifier: Apache-2.0
#include "bench/table.h"

#include <cstdio>

namespace zorlek::bench {

void row(const std::string& what, const std::string& measured, const std::string& baseline,
         double ratio, const std::string& target) {
    char ratioText[32];
    std::snprintf(ratioText, sizeof ratioText, ratio > 0 ? "%.2f" : "failed", ratio);
    std::printf("| %s | %s | %s | %s | %s |\n", what.c_str(), measured.c_str(), baseline.c_str(),
                ratioText, target.c_str());
    std::fflush(stdout);
}

std::string fixed(double value, const char* unit, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f %s", decimals, value, unit);
    return text;
}

std::string name(int index) {
    char text[32];
    std::snprintf(text, sizeof text, "bench.svc%06d", index);
    return text;
}

void host(test::Registry& registry, int from, int to,
          std::vector<std::unique_ptr<test::Process>>* hosts, int perHost,
          const std::vector<std::string>& options) {
    std::vector<std::unique_ptr<test::Process>> started;
    for (int at = from; at < to; at += perHost) {
        std::vector<std::string> argv = {test::binPath("zorlek-echo")};
        argv.insert(argv.end(), options.begin(), options.end());
        for (int i = at; i < to && i < at + perHost; ++i) argv.push_back(name(i));
        started.push_back(test::Process::start(argv, registry.env()));
    }
    for (auto& process : started) {
        if (process && !process->waitForLine("ready", 180000)) process.reset();
        hosts->push_back(std::move(process));
    }
}

}  // namespace zorlek::bench
