// SPDX-License-Identifier: Apache-2.0
// The one wait of a client: for the reply of one call, whether it was made alone or as
// the oldest of a CallPipeline's calls.
#include <poll.h>

#include "platform/transport/client_channel.h"

namespace zorlek {

void ClientChannel::wait(uint32_t serial, PendingReply* awaited, const Deadline& deadline,
                         const OtherChannels& others, HeldReplies* held) {
    // A call alone needs no room beyond the stack.
    pollfd single;
    ClientChannel* singleChannel;
    pollfd* polled = others.count > 0 ? others.polled : &single;
    ClientChannel** polledChannels = others.count > 0 ? others.polledChannels : &singleChannel;
    auto over = [&] { return awaited != nullptr ? awaited->done : !wantsToSend() || !alive(); };
    while (!over()) {
        // One reading of the clock a turn: the time left and the start of a reply's wait.
        int64_t now = monotonicNs();
        int left = deadline.remainingMsAt(now);
        if (left == 0) return giveUp(serial, awaited, -ETIMEDOUT);
        // Queued requests go first; a failure ends its channel and settles its calls.
        flush();
        size_t partial = partialBytes();
        for (size_t i = 0; i < others.count; ++i) {
            others.channels[i]->flush();
            if (others.channels[i].get() != this) partial += others.channels[i]->partialBytes();
        }
        if (over()) return;
        // Replies held ahead of their turn, and those half received, within the bound:
        // every channel is read; past it only this one.
        bool roomy = held != nullptr && held->bytes + partial < held->limit;
        size_t count = 0;
        polled[count] = {fd(), static_cast<short>(POLLIN | (wantsToSend() ? POLLOUT : 0)), 0};
        polledChannels[count++] = this;
        for (size_t i = 0; i < others.count; ++i) {
            ClientChannel& channel = *others.channels[i];
            short events =
                static_cast<short>((channel.wantsToSend() ? POLLOUT : 0) | (roomy ? POLLIN : 0));
            if (&channel == this || !channel.alive() || events == 0) continue;
            polled[count] = {channel.fd(), events, 0};
            polledChannels[count++] = &channel;
        }
        // Waiting for this channel alone: inside the receive, one system call, when its
        // bound ends no later than the deadline.
        if (count == 1 && awaited != nullptr && !wantsToSend() && receiveMayWait(left)) {
            awaitReply(awaited, held, now);
            continue;
        }
        int ready = ::poll(polled, count, left);
        if (ready < 0 && errno != EINTR) return giveUp(serial, awaited, -errno);
        for (size_t i = 0; ready > 0 && i < count; ++i) {
            if (polled[i].revents == 0) continue;
            --ready;
            ClientChannel& channel = *polledChannels[i];
            if ((polled[i].revents & POLLOUT) != 0) channel.flush();
            // A channel polled only to send is not read past the bound: its hang-up shows
            // as the send's failure.
            if ((polled[i].events & POLLIN) == 0) {
                if ((polled[i].revents & (POLLHUP | POLLERR)) != 0) channel.flush();
            } else if ((polled[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                channel.takeIn(awaited, held);
            }
        }
    }
}

}  // namespace zorlek
