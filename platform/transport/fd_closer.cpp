// SPDX-License-Identifier: Apache-2.0
#include "platform/transport/fd_closer.h"

#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <new>

#include "platform/base/limits.h"
#include "platform/transport/fd_passing.h"

namespace zorlek {
namespace {

// The option's number in the kernel's headers (asm-generic/socket.h, Linux 6.16); older
// C library headers do not name it.
#ifndef SO_PASSRIGHTS
constexpr int SO_PASSRIGHTS = 83;
#endif

std::atomic<bool> gKernelRefusal{true};
std::atomic<bool> gShortening{true};

// The descriptors waiting for a closer, oldest first, as a list of fixed blocks so that
// adding one never moves the others; guarded by `lock`.
struct Block {
    int fds[kCloseQueueBlock];
    size_t first = 0;
    size_t count = 0;
    Block* next = nullptr;
};

struct Closer {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t ready = PTHREAD_COND_INITIALIZER;
    Block* head = nullptr;
    Block* tail = nullptr;
    // Queued, or being closed.
    size_t pending = 0;
    // Queued, not taken by a closer yet.
    size_t queued = 0;
    size_t threads = 0;
    // Threads waiting for a descriptor.
    size_t idle = 0;
    // The process the threads run in: a child made by fork() has none, and starts its own.
    pid_t threadsOf = 0;
};

Closer gCloser;

// The oldest waiting descriptor; the lock is held and the queue is not empty.
int takeOldest(Closer& c) {
    Block* block = c.head;
    int fd = block->fds[block->first++];
    --c.queued;
    if (block->first == block->count) {
        c.head = block->next;
        if (c.head == nullptr) c.tail = nullptr;
        delete block;
    }
    return fd;
}

bool isUnixSocket(int fd) {
    int domain = 0;
    socklen_t length = sizeof(domain);
    return ::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) == 0 && domain == AF_UNIX;
}

// Takes every descriptor out of the receive queue of `sock`, whose peer can add no more
// (shut for reading), and hands them aside: what the kernel would otherwise drop at the
// close, on the closing thread. The bytes are thrown away.
void emptyReceiveQueue(int sock) {
    takeOutOfBandInline(sock);
    char scratch[kEmptyingScratchBytes];
    iovec iov[kEmptyingScatter];
    for (iovec& part : iov) part = {scratch, sizeof scratch};
    for (;;) {
        msghdr message{};
        message.msg_iov = iov;
        message.msg_iovlen = kEmptyingScatter;
        ControlBuffer control;
        prepareReceiveControl(&message, &control);
        ssize_t n = ::recvmsg(sock, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
        if (n < 0 && errno == EINTR) continue;
        ReceivedFds fds;  // closed aside as it goes
        if (n >= 0) collectFds(&message, &fds);
        // An empty message may carry descriptors on a datagram socket; a stream's end of
        // data, a failure or an empty queue ends it.
        if (n <= 0 && fds.arrived == 0) return;
    }
}

// Makes the close of `fd`, a descriptor a peer chose, return at once where it can: a Unix
// socket is emptied of the descriptors in it, another socket stops lingering. A close that
// no option shortens (a file on a FUSE mount, say) still blocks its closer.
void shortenClose(int fd) {
    if (!gShortening.load(std::memory_order_relaxed)) return;
    if (isUnixSocket(fd)) {
        if (::shutdown(fd, SHUT_RD) == 0) emptyReceiveQueue(fd);
        return;
    }
    linger off{0, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &off, sizeof(off));
}

void* closerThread(void*) {
    Closer& c = gCloser;
    pthread_mutex_lock(&c.lock);
    for (;;) {
        ++c.idle;
        while (c.head == nullptr) pthread_cond_wait(&c.ready, &c.lock);
        --c.idle;
        int fd = takeOldest(c);
        pthread_mutex_unlock(&c.lock);
        shortenClose(fd);
        ::close(fd);
        pthread_mutex_lock(&c.lock);
        --c.pending;
    }
    return nullptr;
}

// Starts another closer unless enough wait for work to take every queued descriptor, or
// there are as many as may be (a closer woken for one may be the one that then sticks);
// the lock is held. Signals stay with the program's own threads: a closer blocks them all.
void ensureIdleThread(Closer& c) {
    pid_t self = ::getpid();
    if (c.threadsOf != self) {
        c.threadsOf = self;
        c.threads = c.idle = 0;
    }
    if (c.idle >= c.queued || c.threads >= kMaxCloserThreads) return;
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, kCloserStackBytes);
    pthread_t thread;
    if (pthread_create(&thread, &attr, closerThread, nullptr) == 0) ++c.threads;
    pthread_attr_destroy(&attr);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

// Queues `fd` (valid) for a closer; false when there is no memory for it.
bool enqueue(Closer& c, int fd) {
    if (c.tail == nullptr || c.tail->count == kCloseQueueBlock) {
        Block* block = new (std::nothrow) Block;
        if (block == nullptr) return false;
        if (c.tail != nullptr)
            c.tail->next = block;
        else
            c.head = block;
        c.tail = block;
    }
    c.tail->fds[c.tail->count++] = fd;
    ++c.pending;
    ++c.queued;
    return true;
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
    // Out of memory: the descriptor stays open for good rather than be closed here.
    if (!enqueue(c, fd.release())) {
        pthread_mutex_unlock(&c.lock);
        return;
    }
    ensureIdleThread(c);
    pthread_cond_signal(&c.ready);
    pthread_mutex_unlock(&c.lock);
}

void closeSocket(unique_fd fd) {
    if (!fd) return;
    if (refusesDescriptors(fd.get())) return fd.reset();
    // Not the program's own kind of socket: nothing says its close is short.
    if (!isUnixSocket(fd.get()) || ::shutdown(fd.get(), SHUT_RD) != 0) {
        return closeAside(std::move(fd));
    }
    emptyReceiveQueue(fd.get());
    fd.reset();
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

void shorteningClosesForTesting(bool enabled) {
    gShortening.store(enabled, std::memory_order_relaxed);
}

}  // namespace zorlek
