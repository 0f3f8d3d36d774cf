// SPDX-License-Identifier: Apache-2.0
#include "platform/transport/fd_closer.h"

#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <new>

namespace zorlek {
namespace {

// The option's number in the kernel's headers (asm-generic/socket.h, Linux 6.16); older
// C library headers do not name it.
#ifndef SO_PASSRIGHTS
constexpr int SO_PASSRIGHTS = 83;
#endif

std::atomic<bool> gKernelRefusal{true};

// The descriptors waiting for the closer thread, as a list of fixed blocks so that adding
// one never moves the others; guarded by `lock`. A descriptor that cannot be queued for
// want of memory stays open in `overflow` rather than be closed here.
struct Block {
    static constexpr size_t kSize = 64;
    int fds[kSize];
    size_t count = 0;
    Block* next = nullptr;
};

struct Closer {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t ready = PTHREAD_COND_INITIALIZER;
    Block* head = nullptr;
    Block* tail = nullptr;
    size_t pending = 0;
    // The process the thread runs in: a child made by fork() has none, and starts its own.
    pid_t threadOf = 0;
};

Closer gCloser;

// Takes every waiting descriptor; the caller closes them.
Block* takeAll(Closer& c) {
    Block* all = c.head;
    c.head = c.tail = nullptr;
    return all;
}

void* closerThread(void*) {
    Closer& c = gCloser;
    pthread_mutex_lock(&c.lock);
    for (;;) {
        while (c.head == nullptr) pthread_cond_wait(&c.ready, &c.lock);
        Block* blocks = takeAll(c);
        pthread_mutex_unlock(&c.lock);
        size_t closed = 0;
        while (blocks != nullptr) {
            for (size_t i = 0; i < blocks->count; ++i) ::close(blocks->fds[i]);
            closed += blocks->count;
            Block* done = blocks;
            blocks = blocks->next;
            delete done;
        }
        pthread_mutex_lock(&c.lock);
        c.pending -= closed;
    }
    return nullptr;
}

// Starts the thread unless this process has one; the lock is held. Signals stay with the
// program's own threads: the closer blocks them all.
void ensureThread(Closer& c) {
    pid_t self = ::getpid();
    if (c.threadOf == self) return;
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    // Closing needs little stack.
    pthread_attr_setstacksize(&attr, 64 * 1024);
    pthread_t thread;
    if (pthread_create(&thread, &attr, closerThread, nullptr) == 0) c.threadOf = self;
    pthread_attr_destroy(&attr);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

}  // namespace

status_t refuseDescriptors(int sock) {
    if (!gKernelRefusal.load(std::memory_order_relaxed)) return -ENOPROTOOPT;
    int off = 0;
    return ::setsockopt(sock, SOL_SOCKET, SO_PASSRIGHTS, &off, sizeof(off)) == 0 ? OK : -errno;
}

bool refusesDescriptors(int sock) {
    if (!gKernelRefusal.load(std::memory_order_relaxed)) return false;
    int value = 1;
    socklen_t length = sizeof(value);
    return ::getsockopt(sock, SOL_SOCKET, SO_PASSRIGHTS, &value, &length) == 0 && value == 0;
}

void closeAside(unique_fd fd) {
    if (!fd) return;
    Closer& c = gCloser;
    pthread_mutex_lock(&c.lock);
    if (c.tail == nullptr || c.tail->count == Block::kSize) {
        Block* block = new (std::nothrow) Block;
        if (block == nullptr) {
            // Out of memory: the descriptor stays open for good rather than be closed on
            // this thread.
            pthread_mutex_unlock(&c.lock);
            fd.release();
            return;
        }
        if (c.tail != nullptr)
            c.tail->next = block;
        else
            c.head = block;
        c.tail = block;
    }
    c.tail->fds[c.tail->count++] = fd.release();
    ++c.pending;
    ensureThread(c);
    pthread_cond_signal(&c.ready);
    pthread_mutex_unlock(&c.lock);
}

void closeSocket(unique_fd fd) {
    if (!fd) return;
    if (refusesDescriptors(fd.get())) return fd.reset();
    closeAside(std::move(fd));
}

size_t closesPending() {
    pthread_mutex_lock(&gCloser.lock);
    size_t pending = gCloser.pending;
    pthread_mutex_unlock(&gCloser.lock);
    return pending;
}

void refusalByKernelForTesting(bool enabled) {
    gKernelRefusal.store(enabled, std::memory_order_relaxed);
}

}  // namespace zorlek
