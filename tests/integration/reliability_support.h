// SPDX-License-Identifier: Apache-2.0
// Shared pieces of the load, fault and junk tests: sanitizer-aware scaling, varied echo
// calls checked byte for byte, and a process's footprint (its resident memory and open
// descriptors) read from /proc.
#pragma once

#include <dirent.h>

#include <cstdio>

#include "tests/integration/ipc_support.h"

#if defined(__SANITIZE_ADDRESS__)
#define ZORLEK_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZORLEK_TEST_SANITIZED 1
#endif
#endif

namespace zorlek::test {

#ifdef ZORLEK_TEST_SANITIZED
// Everything runs about three times slower, and freed memory is held back on purpose.
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// A duration or count, cut down under the sanitizers.
constexpr int scaled(int n) {
    return kSanitized ? n / 3 : n;
}

using Names = std::vector<std::string>;

// Varied requests that a test can reproduce from its seed.
struct Random {
    uint64_t state;
    uint32_t next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return static_cast<uint32_t>(z ^ (z >> 31));
    }
    size_t below(size_t n) { return next() % n; }
};

// Calls `object` with `words` words of varied bytes under a varied code. Empty when the
// reply is exactly what zorlek-echo answers (the code, then the request's bytes); else
// what went wrong.
inline std::string echoCall(const sp<IBinder>& object, Random& random, size_t words) {
    uint32_t code = random.next();
    if (code == DESCRIPTOR_QUERY_CODE) ++code;
    Parcel request;
    uint8_t* at = ParcelAccess::resizeForReceive(request, words * 4);
    for (size_t i = 0; i < words * 4; ++i) at[i] = static_cast<uint8_t>(random.next());
    Parcel reply;
    status_t status = object->sendTransaction(code, request, &reply, 0);
    if (status != OK) return "call failed with " + std::to_string(status);
    int32_t echoed = 0;
    if (reply.readInt32(&echoed) != OK || static_cast<uint32_t>(echoed) != code ||
        reply.dataSize() != request.dataSize() + 4 ||
        !std::equal(request.data(), request.data() + request.dataSize(), reply.data() + 4)) {
        return "a reply that is not the echo of " + std::to_string(words) + " words";
    }
    return "";
}

// A process's resident memory and open descriptors, as /proc shows them (-1: unreadable).
struct Footprint {
    long rssKb = -1;
    long fds = -1;
};

inline Footprint footprintOf(pid_t pid) {
    Footprint out;
    std::string base = "/proc/" + std::to_string(pid);
    if (FILE* status = std::fopen((base + "/status").c_str(), "re")) {
        char line[256];
        while (std::fgets(line, sizeof line, status) != nullptr) {
            if (std::sscanf(line, "VmRSS: %ld", &out.rssKb) == 1) break;
        }
        std::fclose(status);
    }
    if (DIR* dir = ::opendir((base + "/fd").c_str())) {
        out.fds = 0;
        while (dirent* entry = ::readdir(dir)) out.fds += entry->d_name[0] != '.';
        ::closedir(dir);
    }
    return out;
}

// The least of a few readings over about 100 ms, so that a connection being closed just
// then does not count. The pauses spread the readings and wait for nothing: a check against
// the result waits for its own state (backTo polls).
inline Footprint quietFootprintOf(pid_t pid) {
    Footprint least = footprintOf(pid);
    for (int i = 0; i < 5; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        Footprint now = footprintOf(pid);
        least.rssKb = std::min(least.rssKb, now.rssKb);
        least.fds = std::min(least.fds, now.fds);
    }
    return least;
}

// Memory a process may keep beyond its baseline after the load is gone: what the
// allocator holds on to, not what a leak would add. Not checked under the sanitizers,
// which keep freed memory on purpose.
constexpr long kRssSlackKb = 1024;

// Waits (bounded) until `pid` is back to `baseline`: not one descriptor more, and memory
// within the slack.
inline bool backTo(pid_t pid, const Footprint& baseline, Footprint* now) {
    return waitUntil(
        [&] {
            *now = footprintOf(pid);
            return now->fds >= 0 && now->fds <= baseline.fds &&
                   (kSanitized || now->rssKb <= baseline.rssKb + kRssSlackKb);
        },
        3000);
}

// A registry on a private socket, and services a test starts against it.
struct Reliability : ::testing::Test {
    Registry registry;
    std::vector<std::unique_ptr<Process>> services;
    // Every name the services registered, in listing order.
    Names names;

    void SetUp() override { ASSERT_TRUE(registry.ready()); }

    // Starts `count` zorlek-echo processes with `each` names apiece ("prefix.S.N"); false
    // when one did not get ready.
    bool startServices(const std::string& prefix, int count, int each) {
        for (int s = 0; s < count; ++s) {
            Names group;
            for (int n = 0; n < each; ++n) {
                group.push_back(prefix + "." + std::to_string(s) + "." + std::to_string(n));
            }
            services.push_back(registry.startEcho(group));
            if (!services.back()) return false;
            names.insert(names.end(), group.begin(), group.end());
        }
        std::sort(names.begin(), names.end());
        return true;
    }
};

inline std::string describe(const Footprint& f) {
    return std::to_string(f.fds) + " descriptors, " + std::to_string(f.rssKb) + " kB resident";
}

}  // namespace zorlek::test
