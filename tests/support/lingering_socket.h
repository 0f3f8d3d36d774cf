// SPDX-License-Identifier: Apache-2.0
// The descriptor an attacker attaches to stall whoever closes it last: a TCP socket on
// loopback with SO_LINGER set and bytes its peer never reads, whose last close(2) blocks
// for the linger time. (Unix sockets do not linger; a loopback TCP connection that is
// never accepted does.) The listener stays open in this object, as the attacker keeps it:
// closed, it would reset the connection and end the linger.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/base/unique_fd.h"

namespace zorlek::test {

struct LingeringSocket {
    unique_fd listener;
    // The socket to pass; its last close blocks up to `seconds`. Invalid when it could not
    // be made.
    unique_fd socket;

    explicit LingeringSocket(int seconds) {
        listener.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        int small = 4096;
        if (!listener ||
            ::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
            ::setsockopt(listener.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof(small)) != 0 ||
            ::listen(listener.get(), 1) != 0) {
            return;
        }
        unique_fd sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!sock || ::setsockopt(sock.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof(small)) != 0 ||
            ::connect(sock.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            ::fcntl(sock.get(), F_SETFL, O_NONBLOCK) != 0) {
            return;
        }
        // Fill what the kernel will hold, so that bytes stay unsent at the close.
        char bytes[4096] = {};
        size_t queued = 0;
        while (::write(sock.get(), bytes, sizeof(bytes)) > 0) queued += sizeof(bytes);
        linger lingering{1, seconds};
        if (queued == 0 ||
            ::setsockopt(sock.get(), SOL_SOCKET, SO_LINGER, &lingering, sizeof(lingering)) != 0) {
            return;
        }
        socket = std::move(sock);
    }

    // Stops the socket lingering, wherever its copies are: its close then returns at once.
    // For a test that plays the attacker and closes its own copy last.
    void disarm() {
        linger off{0, 0};
        if (socket) ::setsockopt(socket.get(), SOL_SOCKET, SO_LINGER, &off, sizeof(off));
    }
};

}  // namespace zorlek::test
