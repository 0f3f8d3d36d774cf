// SPDX-License-Identifier: Apache-2.0
// The floor of a `check` run: a program that asks the registry what `zorlek check NAME`
// asks, byte for byte (the handshake, then the lookup), with blocking system calls and
// nothing else: no library, no heap, no bounds on the waits. What the tool costs above
// it is its own; what this costs above the empty program is the protocol's and the
// kernel's.
//
// usage: bare_check NAME   (NAME in ASCII; the registry is $ZORLEK_REGISTRY)
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/transport/wire.h"

namespace {

void putWord(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

int main(int argc, char** argv) {
    using namespace zorlek;
    const char* path = std::getenv("ZORLEK_REGISTRY");
    if (argc != 2 || path == nullptr) return 2;
    size_t length = std::strlen(argv[1]);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (length == 0 || length > 256 || std::strlen(path) >= sizeof(address.sun_path)) return 2;
    std::strcpy(address.sun_path, path);
    int sock = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) return 20;

    uint8_t message[kHeaderSize + 4 + 2 * 260] = {};
    putWord(message, MSG_HELLO);
    putWord(message + 4, kProtocolMagic);
    putWord(message + 8, kProtocolVersion);
    if (::send(sock, message, kHeaderSize, MSG_NOSIGNAL) != kHeaderSize) return 20;
    uint8_t answer[kHeaderSize];
    if (::recv(sock, answer, kHeaderSize, MSG_WAITALL) != kHeaderSize) return 20;

    // The lookup: the name as a UTF-16 string (length, units, a zero unit, padding).
    size_t payload = (4 + 2 * (length + 1) + 3) / 4 * 4;
    std::memset(message, 0, sizeof(message));
    putWord(message, MSG_LOOKUP);
    putWord(message + 12, static_cast<uint32_t>(payload));
    putWord(message + kHeaderSize, static_cast<uint32_t>(length));
    for (size_t i = 0; i < length; ++i) message[kHeaderSize + 4 + 2 * i] = argv[1][i];
    if (::send(sock, message, kHeaderSize + payload, MSG_NOSIGNAL) !=
        static_cast<ssize_t>(kHeaderSize + payload)) {
        return 20;
    }
    // The answer, and the descriptor of a new channel with it.
    char control[CMSG_SPACE(sizeof(int))];
    iovec iov{answer, kHeaderSize};
    msghdr received{};
    received.msg_iov = &iov;
    received.msg_iovlen = 1;
    received.msg_control = control;
    received.msg_controllen = sizeof(control);
    if (::recvmsg(sock, &received, MSG_CMSG_CLOEXEC | MSG_WAITALL) != kHeaderSize) return 20;
    bool found = answer[8] == 0 && answer[9] == 0 && answer[10] == 0 && answer[11] == 0;

    const char* parts[] = {"Service ", argv[1], found ? ": found\n" : ": not found\n"};
    for (const char* part : parts) {
        if (::write(STDOUT_FILENO, part, std::strlen(part)) < 0) return 10;
    }
    return 0;
}
