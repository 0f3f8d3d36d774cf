// SPDX-License-Identifier: Apache-2.0
// A registry played by hand on a real listening socket, for the tests of the registry
// client and of a host's registry connection: it accepts, answers the handshake, and lets
// a test answer each request itself.
#pragma once

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <functional>
#include <thread>

#include "harness/harness.h"
#include "platform/hosting/registry_link.h"
#include "platform/ipc/registry_client.h"
#include "platform/transport/message_reader.h"
#include "tests/platform/socket_helpers.h"
#include "tests/support/wire_peer.h"

namespace zorlek::test {

constexpr int kShortMs = 150;
// A bound that a test expects never to reach.
constexpr int kLongMs = 10000;
using Clock = std::chrono::steady_clock;

inline unique_fd acceptWithin(int listener, int timeoutMs) {
    pollfd p{listener, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) != 1) return {};
    return unique_fd(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
}

inline bool answerHello(int fd) {
    Request hello = receiveRequest(fd);
    if (hello.status != OK || hello.header.type != MSG_HELLO ||
        hello.header.code != kProtocolMagic || hello.header.value != kProtocolVersion) {
        return false;
    }
    return sendMessage(fd, {MSG_HELLO, kProtocolMagic, OK, 0, 0, kProtocolVersion}, nullptr, 0, -1,
                       2000) == OK;
}

inline status_t reply(int fd, uint32_t type, int32_t value, const Parcel& payload = Parcel(),
                      int passFd = -1) {
    return sendMessage(fd, {type, 0, value, 0}, payload.data(), payload.dataSize(), passFd, 2000);
}

// A lookup answer that gives the object `handle` of the host numbered `host`, with the
// client's end of a new channel attached when `passFd` is not negative.
inline status_t lookupReply(int fd, uint64_t host, uint32_t handle, int passFd = -1) {
    MessageHeader answer{MSG_LOOKUP_REPLY, 0, OK, 0, 0, handle};
    setHost(&answer, host);
    return sendMessage(fd, answer, nullptr, 0, passFd, 2000);
}

// A fake registry: accepts connections one after another and runs `script` on each, in a
// thread that the destructor joins (every wait in it is bounded).
class PlayedRegistry {
  public:
    using Script = std::function<void(int fd, int index)>;
    PlayedRegistry(const std::string& path, Script script, int connections = 1)
        : listener_(bindUnixSocket(path, true)) {
        thread_ = std::thread([this, script, connections] {
            for (int i = 0; i < connections; ++i) {
                unique_fd fd = acceptWithin(listener_.get(), 3000);
                if (!fd) return;
                script(fd.get(), i);
            }
        });
    }
    ~PlayedRegistry() { thread_.join(); }

  private:
    unique_fd listener_;
    std::thread thread_;
};

// What a host asked a played registry for: a name, and the handle it gave the object.
struct Registration {
    String16 name;
    uint32_t handle = 0;
};

// Answers every registration on `fd` with 0, adding it to `asked`: true when the host
// closes, false when it sends anything else or is silent for two seconds.
inline bool answerRegistrations(int fd, std::vector<Registration>* asked) {
    for (;;) {
        Request in = receiveRequest(fd);
        if (in.status != OK) return in.status == -EPIPE;
        if (in.header.type != MSG_REGISTER) return false;
        asked->push_back({in.payload.readString16(), in.header.object});
        if (reply(fd, MSG_REGISTER_REPLY, OK) != OK) return false;
    }
}

// A hosting process's registry connection without a ServiceHost around it, so that a test
// drives its loop by hand; every wait is bounded by kLongMs.
struct LinkedHost {
    static HostOptions bounded() {
        HostOptions options;
        options.timeoutMs = kLongMs;
        return options;
    }
    HostOptions options = bounded();
    EventLoop loop;
    ObjectTable objects;
    ChannelServer channels{loop, options, objects};
    RegistryLink link{loop, objects, channels, options};
    sp<LocalObject> object = make<LocalObject>(String16("test.IThing"));

    // Turns the loop until `done` holds, or kLongMs pass.
    void runUntil(const std::function<bool()>& done) {
        auto start = Clock::now();
        while (!done() &&
               std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count() <
                   kLongMs) {
            loop.runOnce(kLongMs);
        }
    }
};

struct ClientFixture : ::testing::Test {
    TempDir dir;
    std::string path = dir.path() + "/reg.sock";
};

// A listing page holding `names`.
inline Parcel page(const std::vector<std::u16string>& names) {
    Parcel p;
    p.writeInt32(static_cast<int32_t>(names.size()));
    for (const auto& name : names) p.writeString16(String16(name));
    return p;
}

}  // namespace zorlek::test
