// SPDX-License-Identifier: Apache-2.0
#include "bench/shm_ring.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#include "platform/base/deadline.h"

namespace zorlek::bench {
namespace {

constexpr uint32_t kMask = kShmRingBytes - 1;
// Once sealed, the segment keeps its size, and no one can map it for writing again nor
// write() to it, whatever descriptor they hold (a read-only one reopened for writing through
// /proc included): only the mapping its writer made before sealing writes it.
constexpr int kSeals = F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_FUTURE_WRITE | F_SEAL_SEAL;

void copyOut(const uint8_t* ring, uint32_t at, void* to, uint32_t size) {
    uint32_t first = std::min(size, kShmRingBytes - (at & kMask));
    std::memcpy(to, ring + (at & kMask), first);
    std::memcpy(static_cast<uint8_t*>(to) + first, ring, size - first);
}

void copyIn(uint8_t* ring, uint32_t at, const void* from, uint32_t size) {
    uint32_t first = std::min(size, kShmRingBytes - (at & kMask));
    std::memcpy(ring + (at & kMask), from, first);
    std::memcpy(ring, static_cast<const uint8_t*>(from) + first, size - first);
}

long futex(const std::atomic<uint32_t>* word, int op, uint32_t value, const timespec* timeout) {
    // Not FUTEX_PRIVATE_FLAG: the word is shared with another process.
    return syscall(SYS_futex, reinterpret_cast<const uint32_t*>(word), op, value, timeout, nullptr,
                   0);
}

}  // namespace

unique_fd makeSegment(ShmSegment** out) {
    *out = nullptr;
    unique_fd fd(static_cast<int>(memfd_create("zorlek-ring", MFD_CLOEXEC | MFD_ALLOW_SEALING)));
    if (!fd || ftruncate(fd.get(), sizeof(ShmSegment)) != 0) return {};
    void* at = mmap(nullptr, sizeof(ShmSegment), PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (at == MAP_FAILED) return {};
    if (fcntl(fd.get(), F_ADD_SEALS, kSeals) != 0) {
        munmap(at, sizeof(ShmSegment));
        return {};
    }
    *out = new (at) ShmSegment();
    return fd;
}

unique_fd readOnlyView(int segmentFd) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", segmentFd);
    return unique_fd(open(path, O_RDONLY | O_CLOEXEC));
}

const ShmSegment* mapPeer(int fd) {
    struct stat st {};
    if (fcntl(fd, F_GET_SEALS) != kSeals || fstat(fd, &st) != 0 ||
        st.st_size != static_cast<off_t>(sizeof(ShmSegment))) {
        return nullptr;
    }
    // Read-only for good: the seals refuse a writable mapping, whatever the descriptor.
    void* at = mmap(nullptr, sizeof(ShmSegment), PROT_READ, MAP_SHARED, fd, 0);
    return at == MAP_FAILED ? nullptr : static_cast<const ShmSegment*>(at);
}

bool ShmEnd::send(const uint8_t* data, uint32_t size) {
    uint32_t head = own_->head.load(std::memory_order_relaxed);
    uint32_t used = head - peer_->tail.load(std::memory_order_acquire);
    if (size > kShmMaxMessage || used > kShmRingBytes || kShmRingBytes - used < 4 + size) {
        return false;
    }
    copyIn(own_->ring, head, &size, 4);
    copyIn(own_->ring, head + 4, data, size);
    own_->head.store(head + 4 + size, std::memory_order_seq_cst);
    // Paired with the reader's flag then its second look at the index: one of the two sees
    // the other.
    if (peer_->sleeping.load(std::memory_order_seq_cst) != 0) {
        futex(&own_->head, FUTEX_WAKE, 1, nullptr);
    }
    return true;
}

int ShmEnd::take(uint8_t* out) {
    uint32_t tail = own_->tail.load(std::memory_order_relaxed);
    uint32_t ready = peer_->head.load(std::memory_order_acquire) - tail;
    if (ready == 0) return 0;
    // The writer may write anything anywhere in its segment at any time: each value is read
    // once, into this process's memory, and checked there.
    uint32_t size = 0;
    if (ready < 4 || ready > kShmRingBytes) return -1;
    copyOut(peer_->ring, tail, &size, 4);
    if (size > kShmMaxMessage || size > ready - 4) return -1;
    copyOut(peer_->ring, tail + 4, out, size);
    own_->tail.store(tail + 4 + size, std::memory_order_release);
    return static_cast<int>(size);
}

int ShmEnd::receive(uint8_t* out, int timeoutMs) {
    int64_t start = monotonicNs();
    int64_t planned = budget_.plan(start);
    bool lostCpu = false;
    for (int64_t now = start, checks = 1; now - start < planned; ++checks) {
        int got = take(out);
        int64_t before = std::exchange(now, monotonicNs());
        lostCpu = lostCpu || now - before > budget_.limits().lostCpuNs;
        if (got == 0) continue;
        if (got > 0 && checks > 1) budget_.record(now, planned, now - start, lostCpu);
        return got;
    }
    int got = sleepFor(out, timeoutMs);
    int64_t now = monotonicNs();
    if (got > 0) {
        budget_.record(now, planned, planned > 0 ? std::max(now - start, planned + 1) : now - start,
                       lostCpu);
    }
    return got;
}

int ShmEnd::sleepFor(uint8_t* out, int timeoutMs) {
    Deadline deadline = Deadline::after(timeoutMs);
    for (;;) {
        int got = take(out);
        if (got != 0) return got;
        own_->sleeping.store(1, std::memory_order_seq_cst);
        uint32_t seen = peer_->head.load(std::memory_order_seq_cst);
        if (seen == own_->tail.load(std::memory_order_relaxed)) {
            int left = deadline.remainingMs();
            if (left == 0) {
                own_->sleeping.store(0, std::memory_order_relaxed);
                return 0;
            }
            timespec wait{left / 1000, (left % 1000) * 1000000L};
            futex(&peer_->head, FUTEX_WAIT, seen, &wait);
        }
        own_->sleeping.store(0, std::memory_order_relaxed);
    }
}

}  // namespace zorlek::bench
