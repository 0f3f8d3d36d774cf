// SPDX-License-Identifier: Apache-2.0
// A client's channels in a foreign event loop: one descriptor to watch for the calls back
// to the objects the client passed, and the work to do when it is ready.
#include <sys/epoll.h>

#include <algorithm>

#include "platform/transport/client_channel.h"

namespace zorlek {

ChannelDirectory::~ChannelDirectory() = default;

int ChannelDirectory::pollFd() {
    if (poll_) return poll_.get();
    poll_.reset(::epoll_create1(EPOLL_CLOEXEC));
    if (!poll_) return -1;
    for (auto& [host, channel] : channels_) watch(channel);
    return poll_.get();
}

void ChannelDirectory::watch(ClientChannel* channel) {
    if (!poll_ || !channel->alive()) return;
    if (std::find(watched_.begin(), watched_.end(), channel) != watched_.end()) return;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = channel;
    if (::epoll_ctl(poll_.get(), EPOLL_CTL_ADD, channel->fd(), &event) == 0) {
        watched_.push_back(channel);
    }
}

void ChannelDirectory::unwatch(ClientChannel* channel) {
    auto found = std::find(watched_.begin(), watched_.end(), channel);
    if (found == watched_.end()) return;
    ::epoll_ctl(poll_.get(), EPOLL_CTL_DEL, channel->fd(), nullptr);
    watched_.erase(found);
}

status_t ChannelDirectory::serveReady() {
    if (!poll_) return OK;
    epoll_event events[kEventBatch];
    int ready = ::epoll_wait(poll_.get(), events, kEventBatch, 0);
    if (ready < 0) return errno == EINTR ? OK : -errno;
    for (int i = 0; i < ready; ++i) {
        auto* channel = static_cast<ClientChannel*>(events[i].data.ptr);
        // Serving one channel may have closed another: only those still watched are read.
        if (std::find(watched_.begin(), watched_.end(), channel) == watched_.end()) continue;
        sp<ClientChannel> held(channel);
        channel->takeIn(nullptr, nullptr);
        channel->flush();
    }
    return OK;
}

}  // namespace zorlek
