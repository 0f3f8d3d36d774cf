// SPDX-License-Identifier: Apache-2.0
#include "fuzz/attached_descriptors.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "fuzz/check.h"
#include "platform/base/deadline.h"
#include "platform/transport/fd_closer.h"

namespace zorlek::fuzz {

int AttachedDescriptors::make(uint8_t choice) {
    if (made_ >= kMost) return -1;
    int ends[2] = {-1, -1};
    switch (choice % 3) {
        case 0:
            if (::pipe2(ends, O_CLOEXEC) != 0) return -1;
            witnesses_.emplace_back(ends[0]);
            unsettled_.emplace_back(ends[1]);
            break;
        case 1:
            if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return -1;
            witnesses_.emplace_back(ends[1]);
            unsettled_.emplace_back(ends[0]);
            break;
        default: {
            auto socket = std::make_unique<test::LingeringSocket>(kLingerSeconds);
            if (!socket->socket) return -1;
            ends[0] = socket->socket.get();
            lingering_.push_back(std::move(socket));
            break;
        }
    }
    ++made_;
    return ends[0];
}

void AttachedDescriptors::settle(bool sent) {
    unsettled_.clear();
    for (; lingeringSettled_ < lingering_.size(); ++lingeringSettled_) {
        test::LingeringSocket& socket = *lingering_[lingeringSettled_];
        if (!sent) socket.disarm();
        if (sent && receiverAlongside_) closeAside(std::move(socket.socket));
        socket.socket.reset();
    }
}

bool AttachedDescriptors::allClosed() const {
    for (const unique_fd& witness : witnesses_) {
        pollfd p{witness.get(), POLLIN, 0};
        if (::poll(&p, 1, 0) != 1 || (p.revents & POLLHUP) == 0) return false;
    }
    return true;
}

void AttachedDescriptors::endLingering() {
    settle(false);
    lingering_.clear();
    lingeringSettled_ = 0;
}

size_t openDescriptors() {
    DIR* folder = ::opendir("/proc/self/fd");
    if (folder == nullptr) return 0;
    size_t count = 0;
    while (const dirent* entry = ::readdir(folder)) {
        if (entry->d_name[0] != '.') ++count;
    }
    ::closedir(folder);
    // The folder's own descriptor was among them.
    return count - 1;
}

bool closesAsideDone(int timeoutMs) {
    int64_t until = monotonicMs() + timeoutMs;
    while (closesPending() > 0) {
        if (monotonicMs() >= until) return false;
        ::usleep(100);
    }
    return true;
}

NothingLeftOpen::~NothingLeftOpen() {
    check(closesAsideDone(10000), "the descriptors closed aside are closed");
    check(openDescriptors() == before_, "no descriptor is left open");
}

}  // namespace zorlek::fuzz
