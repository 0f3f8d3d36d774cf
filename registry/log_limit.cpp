// SPDX-License-Identifier: Apache-2.0
#include "registry/log_limit.h"

#include "platform/text.h"

namespace zorlek::registry {
namespace {

constexpr int64_t kSecondMs = 1000;

}  // namespace

bool LogLimit::admit(uid_t uid, int64_t nowMs) {
    if (users_.empty()) due_ = nowMs + kSecondMs;
    Second& second = users_.try_emplace(uid, Second{nowMs, 0, 0}).first->second;
    if (nowMs - second.start >= kSecondMs) {
        if (second.leftOut > 0) writeLeftOut(uid, second);
        second = {nowMs, 0, 0};
    }
    if (second.written < kLinesPerSecond) {
        ++second.written;
        return true;
    }
    ++second.leftOut;
    return false;
}

void LogLimit::report(int64_t nowMs) {
    int64_t next = -1;
    for (auto at = users_.begin(); at != users_.end();) {
        const auto& [uid, second] = *at;
        if (nowMs - second.start < kSecondMs) {
            int64_t end = second.start + kSecondMs;
            if (next < 0 || end < next) next = end;
            ++at;
            continue;
        }
        if (second.leftOut > 0) writeLeftOut(uid, second);
        at = users_.erase(at);
    }
    due_ = next;
}

void LogLimit::writeLeftOut(uid_t uid, const Second& second) {
    aerr << "zorlek-registry: left out " << second.leftOut << " lines about uid "
         << static_cast<uint32_t>(uid) << " (more than " << kLinesPerSecond << " in a second)"
         << endl;
}

}  // namespace zorlek::registry
