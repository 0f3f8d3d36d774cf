// SPDX-License-Identifier: Apache-2.0
// Shared pieces of the tests that run the real registry and services: an in-process
// client of a test registry, bounded waits for a state, raw connections that play a misbehaving
// peer, and parcel helpers.
#pragma once

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "harness/harness.h"
#include "platform/hosting.h"
#include "platform/ipc.h"
#include "platform/ipc/registry_client.h"
#include "platform/transport/message_reader.h"
#include "platform/transport/parcel_access.h"
#include "platform/transport/unix_connect.h"
#include "platform/transport/wire.h"
#include "tests/support/bytes.h"
#include "tests/support/wait.h"
#include "tests/support/wire_peer.h"

namespace zorlek::test {

// A test with its own registry, ready before the test starts.
struct Fixture : ::testing::Test {
    Registry registry;
    void SetUp() override { ASSERT_TRUE(registry.ready()); }
};

// A client of `registry`'s socket whose waits are bounded by `timeoutMs`.
inline sp<RegistryClient> clientOf(const Registry& registry, int timeoutMs = 5000) {
    return RegistryClient::connect(registry.socketPath().c_str(), timeoutMs);
}

inline std::vector<std::string> asUtf8(const Vector<String16>& names) {
    std::vector<std::string> out;
    for (const String16& name : names) {
        std::string text;
        for (size_t i = 0; i < name.size(); ++i) text += static_cast<char>(name[i]);
        out.push_back(text);
    }
    return out;
}

inline std::vector<std::string> listed(const Registry& registry) {
    sp<RegistryClient> client = clientOf(registry);
    if (!client) return {"(no registry)"};
    return asUtf8(client->listServiceNames());
}

inline String16 descriptorOf(const sp<IBinder>& object, status_t* status) {
    Parcel reply;
    *status = object->sendTransaction(DESCRIPTOR_QUERY_CODE, Parcel(), &reply, 0);
    return reply.readString16();
}

// A connection made by hand to the registry, to send it whatever a test wants.
struct RawPeer {
    unique_fd sock;

    explicit RawPeer(const Registry& registry) {
        connectUnix(registry.socketPath().c_str(), 2000, &sock);
    }
    // Any other connected socket, such as a channel to a service.
    explicit RawPeer(unique_fd connected) : sock(std::move(connected)) {}
    bool sendBytes(const Bytes& bytes) {
        return ::send(sock.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }
    bool hello() {
        return sendMessage(sock.get(), {MSG_HELLO, kProtocolMagic, kProtocolVersion, 0}, nullptr, 0,
                           -1, 2000) == OK &&
               answer().type == MSG_HELLO;
    }
    MessageHeader answer(Parcel* payload = nullptr, unique_fd* fd = nullptr) {
        MessageHeader header;
        Parcel scratch;
        if (receiveMessage(sock.get(), &header, payload ? payload : &scratch, fd, kMaxParcelSize,
                           2000) != OK) {
            header.type = 0;
        }
        return header;
    }
    // True when the registry closes this connection within `timeoutMs`.
    bool closedByPeer(int timeoutMs) {
        auto start = Clock::now();
        uint8_t buffer[4096];
        while (msSince(start) < timeoutMs) {
            pollfd p{sock.get(), POLLIN, 0};
            if (::poll(&p, 1, 50) != 1) continue;
            ssize_t n = ::recv(sock.get(), buffer, sizeof buffer, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno == ECONNRESET)) return true;
        }
        return false;
    }
};

// A zorlek-registry listening at `path` with `args`, started through `launcher` when one
// is given (a command that runs the registry in its own place, such as prlimit); null
// when its socket does not accept connections in time.
inline std::unique_ptr<Process> startRegistryAt(const std::string& path,
                                                std::vector<std::string> args = {},
                                                std::vector<std::string> launcher = {}) {
    launcher.push_back(binPath("zorlek-registry"));
    launcher.insert(launcher.end(), args.begin(), args.end());
    auto process = Process::start(launcher, {"ZORLEK_REGISTRY=" + path});
    if (process && !waitForSocket(path, 10000)) return nullptr;
    return process;
}

// `argv` run as the user `uid` (with the group of the same number, and no other).
constexpr const char* kSetpriv = "/usr/bin/setpriv";
inline std::vector<std::string> asUser(uid_t uid, const std::vector<std::string>& argv) {
    std::vector<std::string> out = {kSetpriv, "--reuid=" + std::to_string(uid),
                                    "--regid=" + std::to_string(uid), "--clear-groups"};
    out.insert(out.end(), argv.begin(), argv.end());
    return out;
}
inline std::vector<std::string> asNobody(const std::vector<std::string>& argv) {
    return asUser(65534, argv);
}

inline Bytes stringPayload(const String16& text) {
    return s16(text.view());
}

// Command-line arguments of `count` distinct names of `units` ASCII units each.
inline std::vector<std::string> manyNames(int count, size_t units) {
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) {
        std::string name = "n";
        name += std::to_string(100000 + i);
        name.resize(units, 'x');
        names.push_back(name);
    }
    return names;
}

}  // namespace zorlek::test
