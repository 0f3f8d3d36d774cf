// SPDX-License-Identifier: Apache-2.0
// zorlek-hostile-host: a hosting process that attacks the clients that call it, for the
// tests of the tool. It registers PREFIX.000 .. PREFIX.(COUNT-1) with the registry at
// $ZORLEK_REGISTRY from one connection, prints "ready", and serves every channel the
// registry brings it until it is killed:
//
//   withhold PREFIX COUNT BYTES  on each channel the first descriptor query is never
//                                answered, and every other call is answered with a reply of
//                                BYTES bytes whose first item is "hostile.IBig"
//   stray PREFIX COUNT MS        no call is ever answered; every MS ms each channel gets a
//                                reply to a serial that no call waits for

#include <poll.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/base/deadline.h"
#include "platform/base/ibinder.h"
#include "platform/base/registry_path.h"
#include "platform/ipc/registry_client.h"
#include "platform/transport/message_reader.h"
#include "tests/support/bytes.h"
#include "tests/support/wire_peer.h"

namespace zorlek::test {
namespace {

// A channel to one client, and what this host has done on it.
struct Channel {
    unique_fd sock;
    MessageReader reader{64 * 1024, kMaxParcelSize};
    bool withheld = false;    // the first descriptor query came, and was kept
    uint32_t lastSerial = 0;  // of the latest call
};

std::string nameOf(const char* prefix, int i) {
    char number[16];
    std::snprintf(number, sizeof number, "%03d", i);
    return std::string(prefix) + "." + number;
}

// Registers every name on `sock`; false (with a line on stderr) at the first refusal.
bool registerAll(int sock, const char* prefix, int count) {
    for (int i = 0; i < count; ++i) {
        Parcel payload;
        payload.writeString16(String16(nameOf(prefix, i).c_str()));
        MessageHeader answer;
        Parcel empty;
        MessageHeader request{MSG_REGISTER, 0, 0, 0, 0, static_cast<uint32_t>(i + 1)};
        if (sendMessage(sock, request, payload.data(), payload.dataSize(), -1, 5000) != OK ||
            receiveMessage(sock, &answer, &empty, nullptr, kMaxParcelSize, 5000) != OK ||
            answer.value != OK) {
            std::fprintf(stderr, "zorlek-hostile-host: %s was not registered (%d)\n",
                         nameOf(prefix, i).c_str(), answer.value);
            return false;
        }
    }
    return true;
}

// The reply of the withholding mode: the descriptor, then filler up to `bytes`.
Parcel bigReply(size_t bytes) {
    Parcel reply;
    reply.writeString16(String16("hostile.IBig"));
    if (bytes > reply.dataSize()) {
        std::vector<uint8_t> filler(bytes - reply.dataSize(), 0x5a);
        reply.write(filler.data(), filler.size());
    }
    return reply;
}

struct Host {
    std::string mode;
    Parcel big;
    int intervalMs = 0;
    std::vector<std::unique_ptr<Channel>> channels;

    void answer(Channel& channel, const Message& call) {
        channel.lastSerial = call.header.serial;
        if (mode != "withhold") return;
        if (call.header.code == DESCRIPTOR_QUERY_CODE && !channel.withheld) {
            channel.withheld = true;
            return;
        }
        MessageHeader reply{MSG_REPLY, call.header.code, OK, 0, call.header.serial};
        // A client that stops reading for good is let go after a while.
        if (sendMessage(channel.sock.get(), reply, big.data(), big.dataSize(), -1, 10000) != OK) {
            channel.sock.reset();
        }
    }

    void sendStrays() {
        for (auto& channel : channels) {
            if (!channel->sock) continue;
            // Half the serial space away from the latest call: nobody waits for it.
            MessageHeader stray{MSG_REPLY, 1, OK, 0, channel->lastSerial ^ 0x80000000u};
            sendMessage(channel->sock.get(), stray, nullptr, 0, -1, 1000);
        }
    }

    // Reads what `channel` sent; false once it is gone or out of step.
    bool serve(Channel& channel) {
        ssize_t n = channel.reader.fill(channel.sock.get());
        if (n == 0 || (n < 0 && n != -EAGAIN)) return false;
        Message call;
        for (int got; (got = channel.reader.next(&call)) != 0;) {
            if (got < 0) return false;
            if (call.header.type == MSG_TRANSACT) answer(channel, call);
            if (!channel.sock) return false;
        }
        return true;
    }
};

int run(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: zorlek-hostile-host withhold|stray PREFIX COUNT ARG\n");
        return 2;
    }
    Host host;
    host.mode = argv[1];
    int count = std::atoi(argv[3]);
    int arg = std::atoi(argv[4]);
    if (host.mode == "withhold") {
        host.big = bigReply(static_cast<size_t>(arg));
    } else if (host.mode == "stray") {
        host.intervalMs = arg;
    } else {
        std::fprintf(stderr, "zorlek-hostile-host: unknown mode %s\n", argv[1]);
        return 2;
    }
    unique_fd registry;
    if (connectToRegistry(registryPath(), 5000, &registry) != OK ||
        !registerAll(registry.get(), argv[2], count)) {
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    MessageReader fromRegistry(4096, kMaxParcelSize);
    int64_t nextStray = monotonicMs() + host.intervalMs;
    for (;;) {
        std::vector<pollfd> polled = {{registry.get(), POLLIN, 0}};
        for (auto& channel : host.channels) polled.push_back({channel->sock.get(), POLLIN, 0});
        int wait = -1;
        if (host.intervalMs > 0) {
            int64_t left = nextStray - monotonicMs();
            wait = left > 0 ? static_cast<int>(left) : 0;
        }
        ::poll(polled.data(), polled.size(), wait);
        if (host.intervalMs > 0 && monotonicMs() >= nextStray) {
            host.sendStrays();
            nextStray = monotonicMs() + host.intervalMs;
        }
        if (polled[0].revents != 0) {
            ssize_t n = fromRegistry.fill(registry.get());
            if (n == 0 || (n < 0 && n != -EAGAIN)) return 0;
            Message message;
            while (fromRegistry.next(&message) == 1) {
                if (message.header.type != MSG_CHANNEL || !message.fd) continue;
                auto channel = std::make_unique<Channel>();
                channel->sock = std::move(message.fd);
                host.channels.push_back(std::move(channel));
            }
        }
        for (size_t i = 1; i < polled.size(); ++i) {
            Channel& channel = *host.channels[i - 1];
            if (polled[i].revents != 0 && channel.sock && !host.serve(channel)) {
                channel.sock.reset();
            }
        }
        std::erase_if(host.channels, [](const auto& channel) { return !channel->sock; });
    }
}

}  // namespace
}  // namespace zorlek::test

int main(int argc, char** argv) {
    return zorlek::test::run(argc, argv);
}
