// SPDX-License-Identifier: Apache-2.0
// Objects that travel over channels, against a real registry and a host serving on its own
// thread: passed and passed back with their identity, a third process's proxy refused,
// references released by the last holder and by a channel's end, the bound on references
// held, calls back while the caller waits (and their depth), a receiver that stops reading,
// and the notices when the host or the subscriber goes.

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/transport/object_proxy.h"
#include "tests/integration/ipc_support.h"

namespace zorlek::test {
namespace {

enum HubCode : uint32_t {
    KEEP = 1,
    ECHO = 2,
    PROBE = 3,
    TICK = 4,
    FORGET = 5,
    WATCH = 6,
    DEEP = 7
};
enum ListenerCode : uint32_t { PING = 1, TICKED = 2, DEEPER = 3 };

// The service: keeps listeners, hands objects back, calls its listeners back.
class Hub : public LocalObject {
  public:
    Hub() : LocalObject(String16("test.IHub")) {}
    status_t onTransact(uint32_t code, Parcel& data, Parcel* reply, uint32_t flags) override {
        sp<IBinder> object;
        int32_t n = 0;
        if (code < KEEP || code > DEEP) return LocalObject::onTransact(code, data, reply, flags);
        if (code != TICK && code != FORGET) {
            if (status_t status = data.readStrongBinder(&object); status != OK) return status;
        }
        switch (code) {
            case KEEP:
                if (!object) return -EINVAL;
                kept.push_back(object);
                return reply->writeInt32(static_cast<int32_t>(kept.size()));
            case ECHO:
                reply->writeInt32(object && object->localObject() == this ? 1 : 0);
                return reply->writeStrongBinder(object);
            case PROBE:
            case DEEP: {
                data.readInt32(&n);
                Parcel request, answer;
                request.writeInt32(n);
                status_t status =
                    object->sendTransaction(code == PROBE ? PING : DEEPER, request, &answer, 0);
                if (status != OK) return status;
                return reply->writeInt32(answer.readInt32(&n) == OK ? n : -1);
            }
            case TICK: {
                Parcel tick;
                tick.writeInt32(++ticks);
                tick.write(std::string(1000, 't').data(), 1000);
                status_t first = OK;
                for (const sp<IBinder>& listener : kept) {
                    status_t status = listener->sendTransaction(TICKED, tick, nullptr, FLAG_ONEWAY);
                    if (first == OK) first = status;
                }
                return reply->writeInt32(first);
            }
            case FORGET:
                kept.clear();
                return OK;
            default:  // WATCH: a proxy's notices go with it, so the hub keeps it
                kept.push_back(object);
                return object->notifyWhenGone(sp<DeathRecipient>(new Told(&gone)));
        }
    }

    struct Told : DeathRecipient {
        explicit Told(std::atomic<int>* count) : count_(count) {}
        void onGone() override { ++*count_; }
        std::atomic<int>* count_;
    };

    std::vector<sp<IBinder>> kept;
    int32_t ticks = 0;
    std::atomic<int> gone{0};
};

// The client's object: answers pings, counts ticks, and calls the hub again when asked.
class Listener : public LocalObject {
  public:
    Listener() : LocalObject(String16("test.IListener")) {}
    status_t onTransact(uint32_t code, Parcel& data, Parcel* reply, uint32_t flags) override {
        int32_t n = 0;
        data.readInt32(&n);
        if (code == TICKED) return ++ticks, OK;
        if (code == PING) return reply->writeInt32(n + 1);
        if (code != DEEPER) return LocalObject::onTransact(code, data, reply, flags);
        Parcel request, answer;
        request.writeStrongBinder(sp<IBinder>(this));
        request.writeInt32(n + 1);
        status_t status = hub->sendTransaction(DEEP, request, &answer, 0);
        if (status != OK) return status;
        return reply->writeInt32(answer.readInt32(&n) == OK ? n : -1);
    }
    int ticks = 0;
    sp<IBinder> hub;
};

struct Told : DeathRecipient {
    void onGone() override { ++count; }
    int count = 0;
};

// A host of one Hub, serving on its own thread until the fixture ends.
struct HubHost {
    HubHost(const Registry& registry, const char* name) {
        ok = host->connect(registry.socketPath().c_str()) == OK &&
             host->addService(String16(name), hub) == OK;
        if (ok) thread = std::thread([this] { host->serve(); });
    }
    ~HubHost() { end(); }
    // Stops serving and lets the host go: its channels end.
    void end() {
        if (!host) return;
        host->stop();
        if (thread.joinable()) thread.join();
        host.reset();
    }
    std::unique_ptr<ServiceHost> host = std::make_unique<ServiceHost>(2000);
    sp<Hub> hub = make<Hub>();
    std::thread thread;
    bool ok = false;
};

int32_t firstInt(Parcel& reply) {
    int32_t value = INT32_MIN;
    reply.readInt32(&value);
    return value;
}

status_t call(const sp<IBinder>& to, uint32_t code, const sp<IBinder>& object, Parcel* reply,
              int32_t n = 0) {
    Parcel request;
    request.writeStrongBinder(object);
    request.writeInt32(n);
    return to->sendTransaction(code, request, reply, 0);
}

// Serves the client's loop until `done`, each wait bounded; false when it never came.
bool dispatchUntil(const sp<RegistryClient>& client, const std::function<bool()>& done) {
    return waitUntil(
        [&] {
            pollfd p{client->pollDescriptor(), POLLIN, 0};
            ::poll(&p, 1, client->pollTimeoutMs() == 0 ? 0 : 10);
            client->dispatch();
            return done();
        },
        5000);
}

struct ObjectsFixture : Fixture {
    void SetUp() override {
        Fixture::SetUp();
        ASSERT_TRUE(host.ok);
        client = clientOf(registry, 2000);
        ASSERT_TRUE(client);
        hub = client->lookupService(String16("hub"));
        ASSERT_TRUE(hub);
    }
    HubHost host{registry, "hub"};
    sp<RegistryClient> client;
    sp<IBinder> hub;
};

TEST_F(ObjectsFixture, ObjectsTravelAndComeBackAsThemselves) {
    sp<Listener> listener = make<Listener>();
    Parcel reply;
    ASSERT_EQ(call(hub, ECHO, listener, &reply), OK);
    int32_t wasHubs = -1;
    sp<IBinder> back;
    EXPECT_EQ(reply.readInt32(&wasHubs), OK);
    EXPECT_EQ(reply.readStrongBinder(&back), OK);
    EXPECT_EQ(wasHubs, 0);
    EXPECT_EQ(back.get(), listener.get()) << "the client's own object, not a proxy to it";
    // The hub's proxy goes back to the hub as the hub itself.
    ASSERT_EQ(call(hub, ECHO, hub, &reply), OK);
    EXPECT_EQ(reply.readInt32(&wasHubs), OK);
    EXPECT_EQ(wasHubs, 1);
    EXPECT_EQ(reply.readStrongBinder(&back), OK);
    ASSERT_TRUE(back && back->remoteObject());
    EXPECT_EQ(call(back, PROBE, listener, &reply, 41), OK);
    EXPECT_EQ(reply.readInt32(&wasHubs), OK);
    EXPECT_EQ(wasHubs, 42) << "called back while the caller waited";
    // A null reference stays null.
    ASSERT_EQ(call(hub, ECHO, nullptr, &reply), OK);
    EXPECT_EQ(reply.readInt32(&wasHubs), OK);
    EXPECT_EQ(reply.readStrongBinder(&back), OK);
    EXPECT_FALSE(back);
}

TEST_F(ObjectsFixture, AThirdProcessProxyDoesNotTravel) {
    HubHost other(registry, "other");
    ASSERT_TRUE(other.ok);
    sp<IBinder> otherHub = client->lookupService(String16("other"));
    ASSERT_TRUE(otherHub);
    Parcel reply;
    EXPECT_EQ(call(hub, KEEP, otherHub, &reply), -EXDEV);
    EXPECT_EQ(call(hub, KEEP, make<Listener>(), &reply), OK) << "nothing half-sent";
    EXPECT_EQ(firstInt(reply), 1);
}

TEST_F(ObjectsFixture, TheLastReleaseAndTheChannelsEndLetGo) {
    sp<Listener> listener = make<Listener>();
    Parcel reply;
    ASSERT_EQ(call(hub, KEEP, listener, &reply), OK);
    ASSERT_EQ(call(hub, KEEP, listener, &reply), OK);
    EXPECT_EQ(listener->strongCount(), 2) << "the test's and the channel's";
    ASSERT_EQ(hub->sendTransaction(FORGET, Parcel(), &reply, 0), OK);
    EXPECT_EQ(listener->strongCount(), 1) << "released, both passes at once";
    ASSERT_EQ(call(hub, KEEP, listener, &reply), OK);
    sp<Told> told = make<Told>();
    ASSERT_EQ(hub->notifyWhenGone(told), OK);
    host.end();
    ASSERT_TRUE(dispatchUntil(client, [&] { return told->count == 1; }));
    EXPECT_EQ(listener->strongCount(), 1) << "the channel ended: nothing held for it";
    EXPECT_EQ(hub->sendTransaction(FORGET, Parcel(), &reply, 0), -EPIPE);
    sp<Told> late = make<Told>();
    EXPECT_EQ(hub->notifyWhenGone(late), OK);
    EXPECT_EQ(late->count, 1) << "told at once";
}

TEST_F(ObjectsFixture, AServedCallHoldsNoObjectOnceAnswered) {
    sp<Listener> listener = make<Listener>();
    Parcel reply;
    ASSERT_EQ(call(hub, PROBE, listener, &reply, 1), OK);
    // The host read the listener into the room its requests share, and called it back.
    EXPECT_TRUE(dispatchUntil(client, [&] { return listener->strongCount() == 1; }))
        << "the host's rooms let go of the call's proxy once it is answered";
}

TEST_F(ObjectsFixture, ReferencesHeldAreBounded) {
    std::vector<sp<Listener>> listeners;
    Parcel reply;
    for (size_t i = 0; i < kMaxObjectsPerChannel; ++i) {
        listeners.push_back(make<Listener>());
        ASSERT_EQ(call(hub, KEEP, listeners.back(), &reply), OK) << i;
    }
    EXPECT_EQ(call(hub, KEEP, make<Listener>(), &reply), -EDQUOT);
    EXPECT_EQ(call(hub, KEEP, listeners.front(), &reply), OK) << "one already held passes";
    sp<RegistryClient> second = clientOf(registry, 2000);
    sp<IBinder> hub2 = second->lookupService(String16("hub"));
    EXPECT_EQ(call(hub2, KEEP, make<Listener>(), &reply), OK)
        << "only the hoarder's channel is full";
}

TEST_F(ObjectsFixture, CallsBackNestAsDeepAsTheBound) {
    sp<Listener> listener = make<Listener>();
    listener->hub = hub;
    Parcel reply;
    EXPECT_EQ(call(hub, DEEP, listener, &reply, 0), -EDEADLK);
    EXPECT_EQ(call(hub, PROBE, listener, &reply, 6), OK) << "the channel stays in step";
    EXPECT_EQ(firstInt(reply), 7);
}

// A client's object that ends its whole process when called.
class Leaver : public LocalObject {
  public:
    Leaver() : LocalObject(String16("test.ILeaver")) {}
    status_t onTransact(uint32_t, Parcel&, Parcel*, uint32_t) override { _exit(0); }
};

TEST_F(ObjectsFixture, AClientThatLeavesWhileCalledBackLeavesTheHostServing) {
    // Its channel ends inside the host's handler of its own call, as the call back waits.
    pid_t child = fork();
    if (child == 0) {
        sp<RegistryClient> own = clientOf(registry, 2000);
        sp<IBinder> theirs = own ? own->lookupService(String16("hub")) : nullptr;
        Parcel reply;
        _exit(theirs && call(theirs, PROBE, make<Leaver>(), &reply) == OK ? 3 : 2);
    }
    ASSERT_GT(child, 0);
    int status = -1;
    bool ended = waitUntil([&] { return waitpid(child, &status, WNOHANG) == child; }, 5000);
    if (!ended) kill(child, SIGKILL), waitpid(child, nullptr, 0);
    ASSERT_TRUE(ended);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "left inside the call back";
    Parcel reply;
    ASSERT_EQ(call(hub, ECHO, hub, &reply), OK) << "the host serves on";
    EXPECT_EQ(firstInt(reply), 1);
}

TEST_F(ObjectsFixture, AReceiverThatStopsReadingCostsOnlyItself) {
    sp<Listener> stalled = make<Listener>();
    sp<Listener> reading = make<Listener>();
    sp<RegistryClient> second = clientOf(registry, 2000);
    sp<IBinder> hub2 = second->lookupService(String16("hub"));
    Parcel reply;
    ASSERT_EQ(call(hub, KEEP, stalled, &reply), OK);
    ASSERT_EQ(call(hub2, KEEP, reading, &reply), OK);
    // `client` never reads its channel again while the hub ticks through `second`.
    int ticks = 0;
    status_t first = OK;
    for (; ticks < 10000 && first == OK; ++ticks) {
        ASSERT_EQ(hub2->sendTransaction(TICK, Parcel(), &reply, 0), OK);
        first = firstInt(reply);
    }
    EXPECT_EQ(first, -ENOBUFS);
    // What waits for it: the queue's bound and what the kernel's socket buffers took.
    EXPECT_LE(ticks, static_cast<int>((kCallbackQueueBytes + 4 * 1024 * 1024) / 1000));
    EXPECT_EQ(reading->ticks, ticks) << "the reader got every tick, sent or not to the other";
}

TEST_F(ObjectsFixture, TheServiceIsToldWhenASubscriberGoes) {
    Parcel reply;
    {
        sp<RegistryClient> subscriber = clientOf(registry, 2000);
        sp<IBinder> hub2 = subscriber->lookupService(String16("hub"));
        ASSERT_EQ(call(hub2, WATCH, make<Listener>(), &reply), OK);
        EXPECT_EQ(host.hub->gone.load(), 0);
    }
    EXPECT_TRUE(waitUntil([&] { return host.hub->gone.load() == 1; }, 5000));
}

TEST_F(ObjectsFixture, ObjectsOfThisProcessNeverGo) {
    EXPECT_EQ(make<Listener>()->notifyWhenGone(make<Told>()), -EINVAL);
    EXPECT_EQ(hub->notifyWhenGone(nullptr), -EINVAL);
}

}  // namespace
}  // namespace zorlek::test
