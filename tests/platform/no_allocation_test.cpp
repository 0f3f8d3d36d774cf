// SPDX-License-Identifier: Apache-2.0
// A declared size over the limit is refused before any room is made for it, and memory
// that runs out costs only the request it was for. This program counts allocations
// through its own global operator new, and fails them on demand, so it runs alone.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include "platform/ipc/call_pipeline.h"
#include "platform/transport/object_proxy.h"
#include "platform/transport/client_connection.h"
#include "platform/transport/message_reader.h"
#include "tests/platform/fake_registry.h"
#include "tests/platform/socket_helpers.h"
#include "tests/support/wait.h"

namespace {
std::atomic<size_t> gLargest{0};
std::atomic<size_t> gCount{0};
// Allocations that report failure (those that may: the nothrow ones) of this size or more.
std::atomic<size_t> gFailFrom{SIZE_MAX};
}  // namespace

// The replacements below pair malloc with free; GCC, seeing them inlined into code that
// uses new and delete, takes that for a mismatch.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(size_t size) {
    ++gCount;
    size_t seen = gLargest.load();
    while (size > seen && !gLargest.compare_exchange_weak(seen, size)) {
    }
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    ++gCount;
    size_t seen = gLargest.load();
    while (size > seen && !gLargest.compare_exchange_weak(seen, size)) {
    }
    if (size >= gFailFrom.load()) return nullptr;
    return std::malloc(size == 0 ? 1 : size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}

namespace zorlek::test {
namespace {

// Far below the declared sizes used here, and above anything a refusal needs.
constexpr size_t kSmall = 64 * 1024;

// Takes the next request off `reader` (fed from `fd`), waiting up to two seconds.
bool nextRequest(MessageReader& reader, int fd, Message* out) {
    for (int tries = 0; tries < 1000; ++tries) {
        int got = reader.next(out);
        if (got != 0) return got == 1;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 2000) != 1 || reader.fill(fd) <= 0) return false;
    }
    return false;
}

TEST(NoAllocation, TheCounterSeesAPayloadBeingReceived) {
    // The control: a message within the limit does get its room, and the count shows it.
    SocketPair pair = makeSocketPair();
    Bytes payload(128 * 1024, 3);
    ASSERT_EQ(sendRaw(pair.a.get(), cat({header(MSG_REPLY, 0, 0, 128 * 1024), payload})),
              ssize_t(kHeaderSize + payload.size()));
    ClientConnection stream(std::move(pair.b), 4096, kMaxParcelSize);
    Message received;
    gLargest = 0;
    EXPECT_EQ(stream.receive(&received, Deadline::after(1000)), OK);
    EXPECT_GE(gLargest.load(), payload.size());
}

TEST(NoAllocation, ReceiveRefusesAnOversizedMessageUnallocated) {
    for (uint32_t declared : {uint32_t(kMaxParcelSize + 4), 0x7FFFFFFCu, 0xFFFFFFFCu}) {
        SocketPair pair = makeSocketPair();
        ASSERT_EQ(sendRaw(pair.a.get(), cat({header(MSG_REPLY, 0, 0, declared), Bytes(8192, 1)})),
                  ssize_t(kHeaderSize + 8192));
        ClientConnection stream(std::move(pair.b), 4096, kMaxParcelSize);
        Message received;
        gLargest = 0;
        EXPECT_EQ(stream.receive(&received, Deadline::after(1000)), -EMSGSIZE);
        EXPECT_LT(gLargest.load(), kSmall) << declared;
    }
}

TEST(NoAllocation, ProxyRefusesAnOversizedReplyUnallocated) {
    SocketPair pair = makeSocketPair();
    sp<ObjectProxy> proxy = proxyOn(std::move(pair.a), 2000);
    int peer = pair.b.get();
    std::thread fake([peer] {
        MessageReader reader(4096, kMaxParcelSize);
        Message request;
        if (!nextRequest(reader, peer, &request)) return;
        sendRaw(peer,
                cat({header(MSG_REPLY, 1, 0, 0x7FFFFFFC, request.header.serial), Bytes(4096, 2)}));
    });
    Parcel reply;
    gLargest = 0;
    status_t status = proxy->sendTransaction(1, Parcel(), &reply, 0);
    size_t largest = gLargest.load();
    fake.join();
    EXPECT_EQ(status, -EMSGSIZE);
    EXPECT_LT(largest, kSmall);
    EXPECT_EQ(reply.dataSize(), 0u);
}

TEST(NoAllocation, ReaderRefusesAnOversizedMessageUnallocated) {
    SocketPair pair = makeSocketPair();
    ASSERT_GT(sendRaw(pair.a.get(), header(MSG_TRANSACT, 0, 0, 0x7FFFFFFC)), 0);
    MessageReader reader(4096, kMaxParcelSize);
    ASSERT_GT(reader.fill(pair.b.get()), 0);
    Message m;
    gLargest = 0;
    EXPECT_EQ(reader.next(&m), -EMSGSIZE);
    EXPECT_LT(gLargest.load(), kSmall);
}

TEST(NoAllocation, APipelineTakesRoomAsCallsAreAddedNotBefore) {
    // A listing of no names makes a pipeline for its whole window and adds nothing to it.
    gLargest = 0;
    size_t before = gCount.load();
    {
        CallPipeline pipeline(8192);
        Parcel reply;
        EXPECT_EQ(pipeline.takeOldest(&reply), -ENODATA);
    }
    EXPECT_LT(gLargest.load(), size_t{4096});
    EXPECT_LE(gCount.load() - before, 4u);
}

TEST(NoAllocation, CallsAllocateNothingOnceTheirParcelsHaveRoom) {
    SocketPair pair = makeSocketPair();
    sp<ObjectProxy> proxy = proxyOn(std::move(pair.a), 2000);
    int peer = pair.b.get();
    constexpr int kCalls = 200;
    // The host's own reader and buffers are made before the count starts.
    MessageReader reader(4096, kMaxParcelSize);
    std::thread host([&reader, peer] {
        Message request;
        Bytes answer(kHeaderSize + 4);
        for (int i = 0; i < 2 * kCalls; ++i) {
            if (!nextRequest(reader, peer, &request)) return;
            MessageHeader reply{MSG_REPLY, request.header.code, OK, 4, request.header.serial};
            encodeHeader(reply, answer.data());
            std::memcpy(answer.data() + kHeaderSize, request.payload.data(), 4);
            if (::send(peer, answer.data(), answer.size(), MSG_NOSIGNAL) < 0) return;
        }
    });
    Parcel request;
    request.writeInt32(7);
    Parcel reply;
    CallPipeline pipeline(4);
    size_t warm = 0;
    size_t calls = 0;
    for (int i = 0; i < kCalls; ++i) {
        // After a few rounds every buffer is in place: the plain call and the pipelined
        // one take none.
        if (i == 5) warm = gCount.load();
        calls += proxy->sendTransaction(1, request, &reply, 0) == OK;
        pipeline.add(proxy, 2, request);
        calls += pipeline.takeOldest(&reply) == OK;
    }
    size_t allocated = gCount.load() - warm;
    host.join();
    EXPECT_EQ(calls, 2u * kCalls);
    EXPECT_EQ(allocated, 0u);
}

// A host whose registry reads slowly queues its requests; when the queue finds no memory
// for one, that request fails at once, and the answers that come later pair with the
// requests that went.
TEST(NoAllocation, ARegistrationItsQueueHasNoRoomForAwaitsNoAnswer) {
    TempDir dir;
    std::string path = dir.path() + "/reg.sock";
    std::atomic<bool> reading{false};
    std::vector<Registration> asked;
    // More than the socket takes: most of it waits in the queue.
    const String16 big(std::u16string(400 * 1024, u'b'));
    {
        PlayedRegistry registry(path, [&](int fd, int) {
            if (answerHello(fd) && waitUntil([&] { return reading.load(); }, kLongMs)) {
                answerRegistrations(fd, &asked);
            }
        });
        LinkedHost host;
        ASSERT_EQ(host.link.connect(path.c_str()), OK);
        status_t first = 1, lost = 1, last = 1;
        ASSERT_EQ(host.link.add(big, host.object, &first), OK);
        gFailFrom = kSmall;  // the queue cannot grow
        status_t failed = host.link.add(String16("lost"), host.object, &lost);
        gFailFrom = SIZE_MAX;
        EXPECT_EQ(failed, -ENOMEM);
        reading = true;
        ASSERT_EQ(host.link.add(String16("last"), host.object, &last), OK);
        host.runUntil([&] { return first != 1 && last != 1; });
        EXPECT_EQ(first, OK);
        EXPECT_EQ(lost, 1) << "nothing waited for an answer to it";
        EXPECT_EQ(last, OK) << "the answer went to the name it answers";
        EXPECT_TRUE(host.link.isRegistered(String16("last")));
        EXPECT_FALSE(host.link.isRegistered(String16("lost")));
        host.link.disconnect(-EPIPE);
    }
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_TRUE(asked[0].name == big && asked[0].handle == 1);
    EXPECT_TRUE(asked[1].name == String16("last") && asked[1].handle == 2);
}

}  // namespace
}  // namespace zorlek::test
