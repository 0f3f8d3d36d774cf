// SPDX-License-Identifier: Apache-2.0
// The attacks on the seams: registrations as fast as the registry answers, and sockets
// whose last close blocks, attached where a receiver closes them.
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include "platform/base/deadline.h"
#include "platform/base/registry_path.h"
#include "platform/transport/fd_passing.h"
#include "platform/transport/unix_connect.h"
#include "tests/support/abuse.h"
#include "tests/support/wire_peer.h"

namespace zorlek::test {
namespace {

// What the receiver reads before it closes: a header it refuses, then more than it reads
// at once, so that whatever is sent after stays unread in its socket.
Bytes malformedAhead(uint32_t type) {
    Bytes bytes = header(type, 0, 0, 6);
    bytes.resize(bytes.size() + 64 * 1024, 0);
    return bytes;
}

// Sends `bytes` (one message or several) as they are on `sock` with `lingering` attached to
// their first byte, and lets go of this copy: 1 when the kernel carried it (the receiver's
// copy is then the last), 0 when it refused (this one was, and need not stall this process).
int sendLingering(int sock, const Bytes& bytes, LingeringSocket& lingering) {
    Deadline deadline = Deadline::after(2000);
    size_t sent = 0;
    while (sent < bytes.size()) {
        iovec iov{const_cast<uint8_t*>(bytes.data()) + sent, bytes.size() - sent};
        ssize_t n = sendNow(sock, &iov, 1, sent == 0 ? lingering.socket.get() : -1);
        if (n < 0 || (n == 0 && waitFor(sock, POLLOUT, deadline) != OK)) break;
        sent += static_cast<size_t>(n);
    }
    bool carried = sent > 0;
    if (!carried) lingering.disarm();
    lingering.socket.reset();
    return carried ? 1 : 0;
}

}  // namespace

int registerFor(const char* prefix, int seconds, bool churn) {
    long asked = 0, registered = 0;
    Deadline deadline = Deadline::after(seconds * 1000);
    unique_fd sock;
    MessageHeader answer;
    Parcel payload;
    while (deadline.remainingMs() > 0) {
        if (churn) sock.reset();
        Bytes requests;
        if (!sock) {
            if (connectUnix(registryPath(), 2000, &sock) != OK) break;
            requests = header(MSG_HELLO, kProtocolMagic, kProtocolVersion, 0);
        }
        bool greeting = !requests.empty();
        int batch = churn ? 1 : 64;
        for (int i = 0; i < batch; ++i) {
            Parcel name;
            name.writeString16(
                String16((std::string(prefix) + "." + std::to_string(asked + i)).c_str()));
            Bytes one = registration(bytesOf(name));
            requests.insert(requests.end(), one.begin(), one.end());
        }
        if (::send(sock.get(), requests.data(), requests.size(), MSG_NOSIGNAL) < 0) break;
        if (greeting &&
            (receiveMessage(sock.get(), &answer, &payload) != OK || answer.value != OK)) {
            break;
        }
        for (int i = 0; i < batch; ++i) {
            if (receiveMessage(sock.get(), &answer, &payload) != OK) break;
            ++asked;
            registered += answer.value == OK;
        }
    }
    std::printf("asked=%ld registered=%ld\n", asked, registered);
    return 0;
}

int lingerAtTheRegistry(const std::string& what, const char* name, LingeringSocket* lingering,
                        std::vector<unique_fd>* held) {
    Bytes hello = header(MSG_HELLO, kProtocolMagic, kProtocolVersion, 0);
    held->resize(2);
    for (unique_fd& sock : *held) {
        if (connectUnix(registryPath(), 2000, &sock) != OK) return -1;
    }
    if (what == "greeting") {
        // The first connection is all this user may have: the second is refused unread.
        if (::send((*held)[0].get(), hello.data(), hello.size(), MSG_NOSIGNAL) < 0) return -1;
        return sendLingering((*held)[1].get(), hello, lingering[0]);
    }
    // A lookup, or a request of the type that carries a channel's end (which only the
    // registry sends): the receiver takes the descriptor with the message, and refuses it.
    Bytes request = what == "channel" ? header(MSG_CHANNEL, 0, 0, 0) : lookupOf(name);
    int carried = sendLingering((*held)[0].get(), cat({hello, request}), lingering[0]);
    Bytes ahead = cat({hello, malformedAhead(MSG_LOOKUP)});
    if (::send((*held)[1].get(), ahead.data(), ahead.size(), MSG_NOSIGNAL) < 0) return -1;
    return carried + sendLingering((*held)[1].get(), request, lingering[1]);
}

bool channelsTo(const char* name, std::vector<unique_fd>* held) {
    for (int i = 0; i < 2; ++i) {
        int refused = 0;
        std::vector<unique_fd> one = channels(name, 1, 2000, &refused);
        if (one.size() != 1) return false;
        held->push_back(std::move(one[0]));
    }
    return true;
}

int lingerOnChannels(const std::vector<unique_fd>& held, LingeringSocket* lingering,
                     uint32_t type) {
    Bytes call = header(type, 1, 0, 0, 1, 1);
    int carried = sendLingering(held[0].get(), call, lingering[0]);
    Bytes ahead = malformedAhead(MSG_TRANSACT);
    if (::send(held[1].get(), ahead.data(), ahead.size(), MSG_NOSIGNAL) < 0) return -1;
    return carried + sendLingering(held[1].get(), call, lingering[1]);
}

}  // namespace zorlek::test
