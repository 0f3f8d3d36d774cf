// SPDX-License-Identifier: Apache-2.0
// The host's ends of client_channel_fuzz's channels, played by a script of the fuzz input
// on a thread of their own, as a hostile host plays them: replies to the calls it read, out
// of order, twice, to serials no call has, cut short, past the size limit, failures of its
// own, messages that are no reply, sends with descriptors and credentials attached, a
// trickle of replies nobody waits for, ends closed at any point. Every wait it makes is
// short, and ends when the client is done.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "fuzz/attached_descriptors.h"
#include "fuzz/hostile_peer.h"
#include "fuzz/input.h"
#include "platform/base/status.h"
#include "platform/base/unique_fd.h"

namespace zorlek::fuzz {

// Copies a step of the host's (its byte `step`, read already, and the bytes of its own
// that follow in `input`) to the end of `script`.
void takeHostStep(uint8_t step, FuzzInput& input, std::vector<uint8_t>* script);

// What the host sent, by the number of the call it answered: each status, with the size
// of a successful reply. Written by the host's thread before it sends, read by the client's.
class HostLog {
  public:
    void sent(uint32_t call, status_t status, size_t size) {
        std::lock_guard<std::mutex> lock(mutex_);
        replies_.emplace(call, std::make_pair(status, status == OK ? size : 0));
    }
    bool didSend(uint32_t call, status_t status, size_t size) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto [first, last] = replies_.equal_range(call);
        for (auto at = first; at != last; ++at) {
            if (at->second.first == status && (status != OK || at->second.second == size)) {
                return true;
            }
        }
        return false;
    }

    // A message saying that the host did not know the type of a message with the serial
    // of a call: the client takes it as that call's failure, -EBADRQC.
    void sentUnknownType() {
        std::lock_guard<std::mutex> lock(mutex_);
        unknownTypes_ = true;
    }
    bool didSendUnknownType() {
        std::lock_guard<std::mutex> lock(mutex_);
        return unknownTypes_;
    }

  private:
    std::mutex mutex_;
    std::multimap<uint32_t, std::pair<status_t, size_t>> replies_;
    bool unknownTypes_ = false;
};

// The host's ends of the channels, played by its script on a thread of its own.
class ScriptedHost {
  public:
    // Plays `script` on `ends` (the host's ends of the channels, whose calls are numbered
    // from `firstSerial`), each wait bounded by a few times `timeoutMs`, the client's call
    // timeout; what it sends is written in `log` first.
    ScriptedHost(std::vector<unique_fd> ends, std::vector<uint8_t> script, int timeoutMs,
                 uint32_t firstSerial, HostLog& log);
    void start() {
        thread_ = std::thread([this] { run(); });
    }
    // Ends the script where it is, and waits for the thread.
    void stop() {
        stopping_ = true;
        if (thread_.joinable()) thread_.join();
    }
    // Once stopped: resets the sockets that linger, so that closes waiting on them end.
    void endLingering() { descriptors_.endLingering(); }

  private:
    struct Call {
        uint32_t serial, code, object, number;
    };
    struct End {
        std::unique_ptr<HostilePeer> peer;
        std::vector<Call> unreplied;
        Call last{};
        bool replied = false;
    };

    void run();
    void step(FuzzInput& input);
    // Takes in the calls that have arrived; with `waitMs`, waits that long for one.
    void accept(End& end, int waitMs);
    void queueReply(End& end, const Call& call, status_t status, size_t size);
    void queueStray(End& end, uint8_t choice);
    // Sends what is queued, waiting a while for room.
    void flush(End& end);

    std::vector<End> ends_;
    std::vector<uint8_t> script_;
    int timeoutMs_;
    uint32_t firstSerial_;
    HostLog& log_;
    // The client reads on its own thread meanwhile.
    AttachedDescriptors descriptors_{true};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace zorlek::fuzz
