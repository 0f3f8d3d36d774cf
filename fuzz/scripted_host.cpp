// SPDX-License-Identifier: Apache-2.0
#include "fuzz/scripted_host.h"

#include <poll.h>
#include <unistd.h>

#include "fuzz/chosen_send.h"
#include "platform/base/deadline.h"
#include "platform/transport/message_reader.h"
#include "platform/transport/wire.h"

namespace zorlek::fuzz {
namespace {

const size_t kReplySizes[] = {8, 12, 64, 4096, 65536, kMaxParcelSize, kMaxParcelSize + 4, 8};
const status_t kHostStatuses[] = {OK, -EPERM, 7, -EBADRQC};

enum HostStep : uint8_t {
    kAccept,
    kReply,
    kReplyAllReversed,
    kDuplicate,
    kStray,
    kNoReply,
    kMalformed,
    kSend,
    kFlush,
    kSleep,
    kClose,
    kTrickle,
    kFlood,
};

void take(FuzzInput& input, std::vector<uint8_t>* into, size_t count) {
    for (size_t i = 0; i < count; ++i) into->push_back(input.byte());
}

}  // namespace

void takeHostStep(uint8_t step, FuzzInput& input, std::vector<uint8_t>* script) {
    script->push_back(step);
    uint8_t kind = step & 15;
    if (kind == kSend) {
        // A size, what to attach, then each descriptor's kind and the credentials.
        uint8_t limit = input.byte(), attach = input.byte();
        script->push_back(limit);
        script->push_back(attach);
        take(input, script, ((attach & 3) < 2 ? attach & 3 : 2) + ((attach & 4) != 0 ? 1 : 0));
    } else if (kind == kReply || kind > kFlood) {
        take(input, script, 2);
    } else if (kind == kStray || kind == kNoReply || kind == kMalformed || kind == kSleep) {
        take(input, script, 1);
    }
}

ScriptedHost::ScriptedHost(std::vector<unique_fd> ends, std::vector<uint8_t> script, int timeoutMs,
                           uint32_t firstSerial, HostLog& log)
    : script_(std::move(script)), timeoutMs_(timeoutMs), firstSerial_(firstSerial), log_(log) {
    for (unique_fd& sock : ends) {
        End end;
        end.peer = std::make_unique<HostilePeer>(std::move(sock), kMaxParcelSize);
        ends_.push_back(std::move(end));
    }
}

void ScriptedHost::run() {
    FuzzInput input(script_.data(), script_.size());
    while (!input.empty() && !stopping_) step(input);
    for (End& end : ends_) flush(end);
    // Reads on, replying no more, until the client is done.
    while (!stopping_) {
        for (End& end : ends_) accept(end, 0);
        ::usleep(500);
    }
}

void ScriptedHost::accept(End& end, int waitMs) {
    int64_t until = monotonicMs() + waitMs;
    Message message;
    for (;;) {
        if (!end.peer->open()) return;
        size_t before = end.unreplied.size();
        int got;
        while ((got = end.peer->nextReceived(&message)) == 1) {
            if (message.header.type != MSG_TRANSACT) continue;
            int32_t number = 0;
            message.payload.readInt32(&number);
            const MessageHeader& header = message.header;
            end.unreplied.push_back(
                {header.serial, header.code, header.object, static_cast<uint32_t>(number)});
        }
        if (end.unreplied.size() > before || got < 0 || monotonicMs() >= until || stopping_) {
            return;
        }
        pollfd p{end.peer->fd(), POLLIN, 0};
        ::poll(&p, 1, 1);
    }
}

void ScriptedHost::queueReply(End& end, const Call& call, status_t status, size_t size) {
    // Logged before it goes: the client may read it at once.
    log_.sent(call.number, status, size);
    uint32_t words[2] = {call.number, call.serial};
    MessageHeader header{MSG_REPLY,   call.code,  status, static_cast<uint32_t>(size),
                         call.serial, call.object};
    end.peer->queueHeader(header);
    end.peer->queue(reinterpret_cast<const uint8_t*>(words), sizeof words);
    end.peer->queuePattern(size - sizeof words, static_cast<uint8_t>(call.serial | 1));
    end.last = call;
    end.replied = true;
}

void ScriptedHost::queueStray(End& end, uint8_t choice) {
    // Serials no call of this input can have: far before the first, or far after.
    uint32_t serial =
        (choice & 1) != 0 ? firstSerial_ - 1 - choice : firstSerial_ + 0x40000 + choice;
    end.peer->queueHeader({MSG_REPLY, 0, OK, 0, serial, 1});
}

void ScriptedHost::flush(End& end) {
    int64_t until = monotonicMs() + 100;
    while (end.peer->open() && end.peer->queued() > 0 && !end.peer->ended() && !stopping_) {
        ssize_t sent = end.peer->send(SIZE_MAX);
        if (sent < 0) return;
        if (sent > 0) continue;
        if (monotonicMs() >= until) return;
        pollfd p{end.peer->fd(), POLLOUT, 0};
        ::poll(&p, 1, 1);
    }
}

void ScriptedHost::step(FuzzInput& input) {
    uint8_t step = input.byte();
    End& end = ends_[(step >> 4 & 3) % ends_.size()];
    uint8_t kind = step & 15;
    // A step on an end already closed reads its bytes and does nothing.
    switch (kind > kFlood ? kReply : kind) {
        case kAccept:
            accept(end, 3 * timeoutMs_ + 5);
            break;
        case kReply: {
            uint8_t which = input.byte(), how = input.byte();
            if (end.unreplied.empty()) accept(end, 3 * timeoutMs_ + 5);
            if (end.unreplied.empty()) break;
            size_t at = which % end.unreplied.size();
            Call call = end.unreplied[at];
            end.unreplied.erase(end.unreplied.begin() + static_cast<ptrdiff_t>(at));
            status_t status = (which & 0x40) != 0 ? OK : kHostStatuses[(which >> 3) % 4];
            queueReply(end, call, status, kReplySizes[how & 7]);
            // Held back, it goes with a later step, or is cut short by a close.
            if ((how & 0x80) == 0) flush(end);
            break;
        }
        case kReplyAllReversed:
            accept(end, 0);
            while (!end.unreplied.empty()) {
                queueReply(end, end.unreplied.back(), OK, 8);
                end.unreplied.pop_back();
            }
            flush(end);
            break;
        case kDuplicate:
            if (end.replied) queueReply(end, end.last, OK, 8);
            flush(end);
            break;
        case kStray:
            queueStray(end, input.byte());
            flush(end);
            break;
        case kNoReply: {
            // Not a reply: a call to the client, a channel's end (whose descriptor a send
            // step may attach), or a type nobody knows.
            uint32_t type = input.byte() % 20;
            if (type == MSG_ERROR) log_.sentUnknownType();
            end.peer->queueHeader(
                {type == MSG_REPLY ? MSG_TRANSACT : type, 0, 0, 0, firstSerial_, 1});
            break;
        }
        case kMalformed: {
            uint32_t size = (input.byte() & 1) != 0 ? 6 : kMaxParcelSize + 4;
            end.peer->queueHeader({MSG_REPLY, 0, OK, size, firstSerial_, 1});
            break;
        }
        case kSend:
            fuzz::sendAsChosen(*end.peer, input, descriptors_);
            break;
        case kFlush:
            flush(end);
            break;
        case kSleep:
            sleepMs(input.byte() % 4);
            break;
        case kClose:
            end.peer->close();
            break;
        case kTrickle:
            // Replies nobody waits for, spread over more than a call's timeout.
            for (uint8_t i = 0; i < 3 && !stopping_; ++i) {
                queueStray(end, i);
                flush(end);
                sleepMs(timeoutMs_ / 2 + 1);
            }
            break;
        case kFlood:
            // Messages of a type nobody knows, far more than the client answers while this
            // end reads nothing.
            for (uint32_t i = 0; i < 8192; ++i) end.peer->queueHeader({0x7E57, 0, 0, 0, i, 1});
            flush(end);
            break;
    }
}

}  // namespace zorlek::fuzz
