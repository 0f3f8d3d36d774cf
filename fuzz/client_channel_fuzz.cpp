// SPDX-License-Identifier: Apache-2.0
// The client's side of channels as a hostile host meets it: ClientChannels over real socket
// pairs (made as the registry makes them), with proxies and call pipelines over one or
// several of them, making the calls the input chooses (calls alone, one-way calls, batches
// in a pipeline that is dropped before all its results are taken, channels let go), while
// a thread plays the host's ends as the input chooses (fuzz/scripted_host.h), with
// descriptors attached (pipe ends, socket ends, sockets whose last close lingers). Calls
// wait a few milliseconds at most, so that no input is slow.
//
// What must hold, besides no sanitizer report: every call ends with one result; a success
// holds the reply the host sent for that very call (its number, and its bytes whole) and
// comes only where the host sent one; a failure the host did not send is one of the
// client's own (timed out, channel gone, malformed, too large, out of memory, no object),
// and leaves the reply empty; no wait outlasts its deadline by more than a generous guard,
// nor does letting a channel or a pipeline go; no descriptor the host sent stays open.
//
// Input: byte 0 sets the scene (bit 0: the kernel refuses descriptors; bits 1-2: the call
// timeout, 1 to 20 ms; bits 3-4: 1 to 3 channels; bit 5: serials start just short of the
// wrap). Then steps, each a byte and its own bytes: with bit 7 clear a step of the client,
// taken in turn on this thread; with bit 7 set a step of the host, taken in turn on the
// host's thread.

#include <sys/socket.h>

#include <cstring>
#include <vector>

#include "fuzz/attached_descriptors.h"
#include "fuzz/check.h"
#include "fuzz/hostile_peer.h"
#include "fuzz/input.h"
#include "fuzz/scripted_host.h"
#include "platform/base/deadline.h"
#include "platform/ipc/call_pipeline.h"
#include "platform/transport/client_channel.h"
#include "platform/transport/fd_closer.h"
#include "platform/transport/object_proxy.h"

namespace zorlek {
namespace {

using fuzz::check;
using fuzz::FuzzInput;

constexpr size_t kMostChannels = 3;
// How long past its deadline a wait may end: far more than any step takes on a loaded
// machine, far less than a lingering socket holds a close.
constexpr int64_t kGuardMs = 1500;
const int kTimeoutsMs[] = {1, 3, 8, 20};
const size_t kRequestSizes[] = {4, 8, 64, 4096, 65536, kMaxParcelSize, kMaxParcelSize + 4, 4};
const size_t kPipelinedSizes[] = {4, 64, 4096, 65536};
enum ClientStep : uint8_t { kCall, kOneWay, kPipeline, kDrop };
// The steps of each side, as the input holds them (a step's byte, then its own bytes).
struct Scripts {
    std::vector<uint8_t> client;
    std::vector<uint8_t> host;
};

Scripts split(FuzzInput& input) {
    Scripts scripts;
    while (!input.empty()) {
        uint8_t step = input.byte();
        if ((step & 0x80) != 0) {
            fuzz::takeHostStep(step, input, &scripts.host);
            continue;
        }
        scripts.client.push_back(step);
        size_t own = (step & 7) == kDrop ? 0 : 1;
        if ((step & 7) == kPipeline) {
            // How many calls, each call's choice, and how many results are taken.
            uint8_t count = input.byte();
            scripts.client.push_back(count);
            own = 1 + (count & 7) + 1;
        }
        for (size_t i = 0; i < own; ++i) scripts.client.push_back(input.byte());
    }
    return scripts;
}

// The client: its channels and their proxies, driven by its script on this thread.
class Client {
  public:
    Client(std::vector<unique_fd> ends, int timeoutMs, uint32_t firstSerial, fuzz::HostLog& log);
    ~Client() { dropAll(); }
    void step(FuzzInput& input);
    // Lets every channel go, as a program that ends does.
    void dropAll();

  private:
    // A request of `size` bytes that starts with the call's number.
    Parcel request(uint32_t number, size_t size);
    void call(size_t channel, uint8_t choice, bool oneWay);
    void pipeline(FuzzInput& input);
    void drop(size_t channel);
    void checkResult(uint32_t number, status_t status, const Parcel& reply);

    int timeoutMs_;
    fuzz::HostLog& log_;
    std::vector<sp<ClientChannel>> channels_;
    std::vector<sp<IBinder>> proxies_;
    uint32_t nextNumber_ = 1;
};

Client::Client(std::vector<unique_fd> ends, int timeoutMs, uint32_t firstSerial, fuzz::HostLog& log)
    : timeoutMs_(timeoutMs), log_(log) {
    for (size_t i = 0; i < ends.size(); ++i) {
        channels_.push_back(
            make<ClientChannel>(std::move(ends[i]), timeoutMs, nullptr, i + 1, 0, firstSerial));
        proxies_.push_back(make<ObjectProxy>(channels_.back(), 1));
    }
}

Parcel Client::request(uint32_t number, size_t size) {
    static const std::vector<uint8_t> zeros(kMaxParcelSize + 4);
    Parcel data;
    data.writeInt32(static_cast<int32_t>(number));
    data.write(zeros.data(), size - 4);
    return data;
}

bool isClientsOwn(status_t status) {
    return status == -ETIMEDOUT || status == -EPIPE || status == -EBADMSG || status == -EMSGSIZE ||
           status == -ENOMEM || status == -ENOENT;
}

void Client::checkResult(uint32_t number, status_t status, const Parcel& reply) {
    if (status != OK) {
        check(reply.dataSize() == 0, "after a failure the reply is empty");
        check(isClientsOwn(status) || log_.didSend(number, status, 0) ||
                  (status == -EBADRQC && log_.didSendUnknownType()),
              "a failure is the host's own or the client's");
        return;
    }
    uint32_t words[2] = {};
    check(reply.dataSize() >= sizeof words, "a successful reply is one the host sent");
    std::memcpy(words, reply.data(), sizeof words);
    check(words[0] == number, "a reply is only ever the one for its call");
    check(log_.didSend(number, OK, reply.dataSize()),
          "a success comes only where the host sent one, whole");
    uint8_t seed = static_cast<uint8_t>(words[1] | 1);
    for (size_t i = sizeof words; i < reply.dataSize(); ++i) {
        if (reply.data()[i] != fuzz::patternByte(seed, i - sizeof words)) {
            check(false, "a reply comes with the bytes the host sent for it");
        }
    }
}

void Client::call(size_t channel, uint8_t choice, bool oneWay) {
    if (!proxies_[channel]) return;
    uint32_t number = nextNumber_++;
    Parcel data = request(number, kRequestSizes[choice & 7]);
    Parcel reply;
    int64_t start = monotonicMs();
    status_t status = proxies_[channel]->sendTransaction(number, data, oneWay ? nullptr : &reply,
                                                         oneWay ? FLAG_ONEWAY : 0);
    check(monotonicMs() - start <= timeoutMs_ + kGuardMs, "a call ends by its deadline");
    if (oneWay) {
        check(status == OK || isClientsOwn(status),
              "a one-way call is sent or fails as the client's");
    } else {
        checkResult(number, status, reply);
    }
}

void Client::pipeline(FuzzInput& input) {
    size_t count = 1 + (input.byte() & 7);
    std::vector<uint32_t> numbers;
    int64_t start = monotonicMs();
    {
        CallPipeline calls(count);
        for (size_t i = 0; i < count; ++i) {
            uint8_t choice = input.byte();
            // Past the channels: a call to no object.
            size_t channel = choice & 3;
            sp<IBinder> object = channel < proxies_.size() ? proxies_[channel] : nullptr;
            uint32_t number = nextNumber_++;
            Parcel data = request(number, kPipelinedSizes[choice >> 3 & 3]);
            check(calls.add(std::move(object), number, data, (choice & 4) != 0),
                  "a pipeline takes as many calls as it has room for");
            numbers.push_back(number);
        }
        size_t taken = input.byte() % (count + 1);
        for (size_t i = 0; i < taken; ++i) {
            Parcel reply;
            int64_t asked = monotonicMs();
            status_t status = calls.takeOldest(&reply);
            // A reply dropped for want of room is asked again at its turn, once.
            check(monotonicMs() - asked <= 2 * timeoutMs_ + kGuardMs,
                  "a pipeline's result comes by its call's deadline");
            checkResult(numbers[i], status, reply);
        }
        start = monotonicMs();
    }
    check(monotonicMs() - start <= kGuardMs,
          "a pipeline dropped with calls in flight lets go at once");
}

void Client::drop(size_t channel) {
    int64_t start = monotonicMs();
    proxies_[channel].reset();
    channels_[channel].reset();
    check(monotonicMs() - start <= kGuardMs, "letting a channel go never waits");
}

void Client::dropAll() {
    for (size_t i = 0; i < channels_.size(); ++i) drop(i);
}

void Client::step(FuzzInput& input) {
    uint8_t step = input.byte();
    size_t channel = (step >> 3 & 3) % channels_.size();
    switch (step & 7) {
        case kOneWay:
            call(channel, input.byte(), true);
            break;
        case kPipeline:
            pipeline(input);
            break;
        case kDrop:
            drop(channel);
            break;
        default:
            call(channel, input.byte(), false);
    }
}

}  // namespace
}  // namespace zorlek

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zorlek;
    fuzz::NothingLeftOpen nothingLeftOpen;
    fuzz::FuzzInput input(data, size);
    uint8_t setting = input.byte();
    Scripts scripts = split(input);
    refusalByKernelForTesting((setting & 1) != 0);
    int timeoutMs = kTimeoutsMs[setting >> 1 & 3];
    size_t channels = 1 + (setting >> 3 & 3) % kMostChannels;
    uint32_t firstSerial = (setting & 0x20) != 0 ? UINT32_MAX - 3 : 1;
    {
        // Each channel made as the registry makes it: both ends refuse descriptors where
        // the kernel can.
        std::vector<unique_fd> hostEnds, clientEnds;
        for (size_t i = 0; i < channels; ++i) {
            int ends[2];
            fuzz::check(
                ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends) == 0,
                "the fuzzer could make a channel");
            refuseDescriptors(ends[0]);
            refuseDescriptors(ends[1]);
            hostEnds.emplace_back(ends[0]);
            clientEnds.emplace_back(ends[1]);
        }
        fuzz::HostLog log;
        fuzz::ScriptedHost host(std::move(hostEnds), std::move(scripts.host), timeoutMs,
                                firstSerial, log);
        Client client(std::move(clientEnds), timeoutMs, firstSerial, log);
        host.start();
        fuzz::FuzzInput steps(scripts.client.data(), scripts.client.size());
        while (!steps.empty()) client.step(steps);
        host.stop();
        // Before the host's lingering sockets are reset: a client that closes one on its own
        // thread waits here.
        client.dropAll();
        host.endLingering();
    }
    refusalByKernelForTesting(true);
    return 0;
}
