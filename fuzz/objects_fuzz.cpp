// SPDX-License-Identifier: Apache-2.0
// Objects that travel over channels, on real socket pairs in this process: a host's real
// ChannelServer, serving a hub (fuzz/objects_fuzz_peers.h) on a thread of its own, meets
// a real ClientChannel that passes its listeners, objects the hub made and the hub itself,
// calls the hub so that it calls back (two-way, one-way, nested to past the depth bound),
// reads calls back between calls, drops proxies and leaves; and a client played raw
// (fuzz/objects_fuzz_raw.h) that passes references well formed and hostile (offsets not
// aligned, overlapping, past the parcel, unknown kinds, handles never passed, more than
// the bound), releases with right and wrong counts, answers the hub's calls back or not,
// and leaves. A second ClientChannel meets a host played raw the same way, which calls its
// listeners back with hostile references and releases what it never got.
//
// What must hold, besides no sanitizer report: a reference either side sends holds
// together; an object reaches a peer without objects never (-EPROTONOSUPPORT), nor a proxy
// of another channel (-EXDEV); the hub's answer to a probe of a listener is the listener's;
// a channel kept to the protocol stays open; once every channel has ended, every object
// passed is let go (its count back to the scene's own reference), every notice asked for
// is told once, the host serves a new client (a call back included), and what the host
// holds is back to where it began.
//
// Input: byte 0 sets the scene (bit 0: the real clients and the host read objects; bit 1:
// the raw client says it does). Then steps: a byte whose low 2 bits choose the side (the
// client, the second client, the raw client, the raw host) and whose high bits the step.

#include <sanitizer/allocator_interface.h>
#include <sys/socket.h>

#include <cstdlib>
#include <functional>
#include <thread>

#include "fuzz/attached_descriptors.h"
#include "fuzz/objects_fuzz_raw.h"
#include "platform/base/deadline.h"
#include "platform/hosting/channel_server.h"
#include "platform/transport/client_channel.h"
#include "platform/transport/object_proxy.h"

namespace zorlek::fuzz {
namespace {

constexpr int kClientTimeoutMs = 5000;
constexpr size_t kListeners = 3;
// What the host may keep past its start once every channel has gone: rooms it trims later.
constexpr size_t kKeptAfter = 2 * 1024 * 1024;

std::pair<unique_fd, unique_fd> channelPair() {
    int ends[2];
    check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends) == 0,
          "the fuzzer could make a channel");
    int on = 1;
    ::setsockopt(ends[1], SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
    return {unique_fd(ends[0]), unique_fd(ends[1])};
}

class Scene {
  public:
    explicit Scene(uint8_t setting) : features_((setting & 1) != 0 ? kPeerFeatures : 0) {
        check(loop_.initStatus() == OK, "the host's loop is made");
        objects_.publish(objects_.add(hub_));
        baseline_ = __sanitizer_get_current_allocated_bytes();
        server_ = std::make_unique<ChannelServer>(loop_, HostOptions(), objects_);
        for (sp<Listener>& listener : listeners_) listener = make<Listener>(&hubProxy_);
        auto [host, mine] = channelPair();
        server_->adopt(std::move(host), ownCredentials(), features_);
        client_ = make<ClientChannel>(std::move(mine), kClientTimeoutMs);
        client_->setPeerFeatures(features_);
        hubProxy_ = make<ObjectProxy>(client_, 1);
        auto [rawHost, rawClient] = channelPair();
        server_->adopt(std::move(rawHost), ownCredentials(), (setting & 2) != 0 ? PEER_OBJECTS : 0);
        raw_ = std::make_unique<RawSide>(std::move(rawClient), 1);
        auto [fakeHost, second] = channelPair();
        second_ = make<ClientChannel>(std::move(second), kClientTimeoutMs);
        second_->setPeerFeatures(features_);
        fake_ = std::make_unique<RawSide>(std::move(fakeHost), 0);
        startHost();
    }

    void step(FuzzInput& input) {
        uint8_t op = input.byte();
        switch (op & 3) {
            case 0:
                clientStep(input, op >> 2);
                break;
            case 1:
                secondStep(input, op >> 2);
                break;
            case 2:
                raw_->step(input);
                break;
            default:
                fake_->step(input);
                break;
        }
    }

    void finish();

  private:
    void startHost() {
        stopping_ = false;
        host_ = std::thread([this] {
            while (!stopping_) {
                status_t status = loop_.runOnce(5);
                check(status == OK || status == -EINTR, "the serving loop turns");
            }
        });
    }
    void stopHost() {
        stopping_ = true;
        host_.join();
    }
    sp<IBinder> objectOf(uint8_t choice);
    void clientStep(FuzzInput& input, uint8_t op);
    void secondStep(FuzzInput& input, uint8_t op);
    // Turns the loop on this thread until `done`, at most 5 s.
    bool turnUntil(const std::function<bool()>& done) {
        Deadline deadline = Deadline::after(5000);
        while (!done()) {
            if (deadline.remainingMs() == 0) return false;
            loop_.runOnce(5);
        }
        return true;
    }
    bool allLetGo() const;
    void serveAnother();

    uint32_t features_;
    EventLoop loop_;
    ObjectTable objects_;
    sp<Hub> hub_ = make<Hub>();
    size_t baseline_ = 0;
    std::unique_ptr<ChannelServer> server_;
    std::thread host_;
    std::atomic<bool> stopping_{false};
    sp<Listener> listeners_[kListeners];
    sp<ClientChannel> client_, second_;
    sp<IBinder> hubProxy_;
    std::vector<sp<IBinder>> made_;  // the hub's objects, as the client holds them
    std::unique_ptr<RawSide> raw_, fake_;
};

sp<IBinder> Scene::objectOf(uint8_t choice) {
    switch (choice % 6) {
        case 3:
            return hubProxy_;
        case 4:
            return made_.empty() ? nullptr : made_[choice / 6 % made_.size()];
        case 5:
            return second_ ? make<ObjectProxy>(second_, 1) : nullptr;
        default:
            return listeners_[choice % 6];
    }
}

void Scene::clientStep(FuzzInput& input, uint8_t op) {
    if (!client_) return;
    switch (op % 4) {
        case 1:
            return client_->takeIn(nullptr, nullptr);
        case 2:
            if (!made_.empty()) made_.erase(made_.begin() + input.byte() % made_.size());
            return;
        case 3:
            if ((op & 4) == 0) return;
            made_.clear();
            hubProxy_.reset();
            client_.reset();
            return;
        default:
            break;
    }
    uint32_t code = 1 + input.byte() % 8;
    uint8_t choice = input.byte();
    sp<IBinder> object = objectOf(choice);
    int32_t n = static_cast<int8_t>(input.byte());
    bool oneway = (op & 4) != 0;
    Parcel request, reply;
    request.writeStrongBinder(object);
    request.writeInt32(n);
    status_t status = client_->transact(1, code, request, &reply, oneway ? FLAG_ONEWAY : 0);
    if (object && features_ == 0) {
        check(status == -EPROTONOSUPPORT, "no object goes to a peer that cannot read it");
    } else if (object && choice % 6 == 5) {
        check(status == -EXDEV, "a proxy of another channel does not travel");
    }
    if (features_ != 0 && (!object || choice % 6 != 5)) {
        check(client_->alive(), "a channel kept to the protocol stays open");
    }
    if (status != OK || oneway) return;
    int32_t called = INT32_MIN, got = INT32_MIN;
    if (code == kProbe && object && choice % 6 < kListeners) {
        reply.readInt32(&called);
        reply.readInt32(&got);
        check(called == -ETIMEDOUT || (called == OK && got == n + 1),
              "a probe's answer is the listener's");
    } else if ((code == kMake || code == kEcho) && made_.size() < 4) {
        sp<IBinder> back;
        if (reply.readStrongBinder(&back) == OK && back) made_.push_back(back);
    }
}

void Scene::secondStep(FuzzInput& input, uint8_t op) {
    if (!second_) return;
    switch (op % 3) {
        case 0: {
            Parcel request;
            request.writeStrongBinder(listeners_[input.byte() % kListeners]);
            request.writeInt32(0);
            second_->transact(1, kKeep, request, nullptr, FLAG_ONEWAY);
            return;
        }
        case 1:
            return second_->takeIn(nullptr, nullptr);
        default:
            if ((op & 4) != 0) second_.reset();
    }
}

bool Scene::allLetGo() const {
    for (const sp<Listener>& listener : listeners_) {
        if (listener->strongCount() != 1) return false;
    }
    for (const sp<IBinder>& object : hub_->made) {
        if (object->strongCount() != 1) return false;
    }
    return hub_->told.load() == static_cast<int>(hub_->watched.size());
}

void Scene::serveAnother() {
    auto [host, mine] = channelPair();
    server_->adopt(std::move(host), ownCredentials(), kPeerFeatures);
    sp<Listener> listener = make<Listener>(&hubProxy_);
    {
        sp<ClientChannel> fresh = make<ClientChannel>(std::move(mine), kClientTimeoutMs);
        fresh->setPeerFeatures(kPeerFeatures);
        startHost();
        Parcel request, reply;
        request.writeStrongBinder(listener);
        request.writeInt32(41);
        check(fresh->transact(1, kProbe, request, &reply, 0) == OK, "the host serves a new client");
        int32_t called = INT32_MIN, got = INT32_MIN;
        reply.readInt32(&called);
        reply.readInt32(&got);
        check(called == -ETIMEDOUT || (called == OK && got == 42),
              "the host calls a new client back");
        stopHost();
    }
    check(turnUntil([&] { return listener->strongCount() == 1; }),
          "the new client's object is let go when its channel ends");
}

void Scene::finish() {
    made_.clear();
    hubProxy_.reset();
    client_.reset();
    second_.reset();
    raw_->close();
    fake_->close();
    stopHost();
    // The hub's own objects it kept (passed back to it) are the scene's doing, not held;
    // so are those of calls a client sent before it left that this loop serves only now
    // (on a loaded machine the host's thread may not have come to them).
    check(turnUntil([&] {
              hub_->kept.clear();
              return allLetGo();
          }),
          "every object passed is let go, and every notice told, once its channel ended");
    serveAnother();
    // What the raw client sent before it left may have been served since.
    hub_->kept.clear();
    hub_->watched.clear();
    hub_->made.clear();
    raw_.reset();
    fake_.reset();
    server_.reset();
    check(__sanitizer_get_current_allocated_bytes() <= baseline_ + kKeptAfter,
          "the host holds no more than it began with once its channels are gone");
}

}  // namespace
}  // namespace zorlek::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A call back that no peer answers holds the host this long.
    ::setenv("ZORLEK_CALL_TIMEOUT_MS", "200", 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zorlek;
    fuzz::NothingLeftOpen nothingLeftOpen;
    fuzz::FuzzInput input(data, size);
    fuzz::Scene scene(input.byte());
    for (int steps = 0; !input.empty() && steps < 256; ++steps) scene.step(input);
    scene.finish();
    return 0;
}
