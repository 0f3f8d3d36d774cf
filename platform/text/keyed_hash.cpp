// SPDX-License-Identifier: Apache-2.0
#include "platform/text/keyed_hash.h"

#include <pthread.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

namespace zorlek {
namespace {

constexpr uint64_t rotl(uint64_t value, int bits) {
    return (value << bits) | (value >> (64 - bits));
}

struct SipState {
    uint64_t v0, v1, v2, v3;

    void rounds(int count) {
        for (int i = 0; i < count; ++i) {
            v0 += v1;
            v1 = rotl(v1, 13) ^ v0;
            v0 = rotl(v0, 32);
            v2 += v3;
            v3 = rotl(v3, 16) ^ v2;
            v0 += v3;
            v3 = rotl(v3, 21) ^ v0;
            v2 += v1;
            v1 = rotl(v1, 17) ^ v2;
            v2 = rotl(v2, 32);
        }
    }
    void absorb(uint64_t word, int count) {
        v3 ^= word;
        rounds(count);
        v0 ^= word;
    }
};

uint64_t littleEndianWord(const unsigned char* bytes, size_t size) {
    uint64_t word = 0;
    for (size_t i = 0; i < size; ++i) word |= uint64_t{bytes[i]} << (8 * i);
    return word;
}

// This process's key, drawn once. Through pthread_once rather than a function's static, whose
// guard would bring the C++ runtime's exception machinery into programs built without it.
uint64_t gKey[2] = {0, 0};
pthread_once_t gKeyOnce = PTHREAD_ONCE_INIT;

void drawKey() {
    // Never waits: a registry started before the kernel's pool is ready still starts.
    if (::getrandom(gKey, sizeof gKey, GRND_NONBLOCK) == sizeof gKey ||
        ::getrandom(gKey, sizeof gKey, GRND_INSECURE) == sizeof gKey) {
        return;
    }
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    gKey[0] = static_cast<uint64_t>(now.tv_nsec) ^ (uint64_t(::getpid()) << 32);
    gKey[1] = reinterpret_cast<uintptr_t>(&now) ^ static_cast<uint64_t>(now.tv_sec);
    gKey[1] = sipHash(gKey, sizeof gKey, gKey[0], reinterpret_cast<uintptr_t>(&gKeyOnce));
}

}  // namespace

uint64_t sipHash(const void* bytes, size_t size, uint64_t k0, uint64_t k1, int rounds,
                 int finalRounds) {
    SipState state{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL,
                   k0 ^ 0x6c7967656e657261ULL, k1 ^ 0x7465646279746573ULL};
    const auto* at = static_cast<const unsigned char*>(bytes);
    size_t whole = size & ~size_t{7};
    for (size_t i = 0; i < whole; i += 8) state.absorb(littleEndianWord(at + i, 8), rounds);
    uint64_t last = littleEndianWord(at + whole, size - whole) | (uint64_t{size & 0xff} << 56);
    state.absorb(last, rounds);
    state.v2 ^= 0xff;
    state.rounds(finalRounds);
    return state.v0 ^ state.v1 ^ state.v2 ^ state.v3;
}

uint64_t keyedHash(const void* bytes, size_t size) {
    pthread_once(&gKeyOnce, drawKey);
    return sipHash(bytes, size, gKey[0], gKey[1]);
}

}  // namespace zorlek
