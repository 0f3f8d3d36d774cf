// SPDX-License-Identifier: Apache-2.0
// A peer of objects_fuzz played raw on a real socket: it passes references of its own and
// of the other side (well formed or spoiled), releases what it got with right and wrong
// counts, answers the calls back it gets (two-way and one-way, with a nested call first,
// late, to the wrong serial, or not at all), and leaves at any point. It checks that every
// reference the other side sends holds together.
#pragma once

#include <map>
#include <memory>
#include <vector>

#include "fuzz/check.h"
#include "fuzz/hostile_peer.h"
#include "fuzz/objects_fuzz_peers.h"

namespace zorlek::fuzz {

class RawSide {
  public:
    // `target` is the handle its calls name by default (the host's hub, or 0 for none).
    RawSide(unique_fd sock, uint32_t target)
        : peer_(std::make_unique<HostilePeer>(std::move(sock), kMaxParcelSize)), target_(target) {
        peer_->setDefaultSender(ownCredentials());
    }

    void step(FuzzInput& input) {
        if (!peer_->open()) return;
        uint8_t op = input.byte();
        switch (op % 6) {
            case 0:
                call(input, op);
                break;
            case 1:
                release(input);
                break;
            case 2:
                answer(input);
                break;
            case 4:
                peer_->close();
                return;
            case 5: {
                // A message of a type nobody knows, or a release of a size that breaks it.
                MessageHeader header{(op & 8) != 0 ? 77u : uint32_t{MSG_OBJ_RELEASE},
                                     1,
                                     0,
                                     0,
                                     0,
                                     kFirstPassedHandle};
                uint8_t word[4] = {};
                peer_->queueMessage(header, word, (op & 16) != 0 ? 4 : 0);
                break;
            }
            default:
                break;
        }
        peer_->sendQueued();
        pump();
    }

    void close() { peer_->close(); }

  private:
    struct Call {
        uint32_t serial, object;
    };

    // Reads what has come: references counted, two-way calls noted.
    void pump() {
        Message message;
        while (peer_->open() && peer_->nextReceived(&message) == 1) {
            uint32_t type = message.header.type;
            if (type == MSG_OBJ_TRANSACT || type == MSG_OBJ_REPLY) {
                std::vector<std::pair<uint32_t, uint32_t>> refs;
                check(readReferences(message.payload, &refs), "the references sent hold together");
                for (auto [kind, handle] : refs) {
                    check(kind == 1 || kind == 2, "a reference sent is of a known kind");
                    if (kind == 1 && handle >= kFirstPassedHandle && got_.size() < 64)
                        ++got_[handle];
                }
            }
            bool call = type == MSG_TRANSACT || type == MSG_OBJ_TRANSACT;
            if (call && (message.header.value & FLAG_ONEWAY) == 0 && calls_.size() < 16) {
                calls_.push_back({message.header.serial, message.header.object});
            }
        }
    }

    uint32_t someGot(uint8_t choice) const {
        if (got_.empty()) return kFirstPassedHandle + choice % 4;
        auto at = got_.begin();
        std::advance(at, choice % got_.size());
        return at->first;
    }

    std::vector<uint8_t> refs(FuzzInput& input, int32_t n) {
        std::vector<std::pair<uint32_t, uint32_t>> list;
        for (size_t i = 1 + input.byte() % 4; i > 0; --i) {
            uint8_t choice = input.byte();
            switch (choice % 7) {
                case 0:
                    list.emplace_back(1, kFirstPassedHandle + choice / 7 % 4);
                    break;
                case 1:
                    list.emplace_back(2, someGot(choice / 7));
                    break;
                case 2:
                    list.emplace_back(2, 1);
                    break;
                case 3:
                    list.emplace_back(2, kFirstPassedHandle + 999);
                    break;
                case 4:
                    list.emplace_back(choice / 7 % 2 != 0 ? 0 : 3, kFirstPassedHandle);
                    break;
                case 5:
                    list.emplace_back(1, choice / 7 % 4);
                    break;
                default:
                    list.emplace_back(1, UINT32_MAX - choice / 7 % 2);
                    break;
            }
        }
        uint8_t spoil = input.byte();
        return referenceTable(list, n, spoil % 4 == 0 ? spoil / 4 : 0);
    }

    void call(FuzzInput& input, uint8_t op) {
        uint32_t object = (op & 8) != 0 && target_ != 0 ? target_ : someGot(input.byte());
        uint32_t code = 1 + input.byte() % 9;
        int32_t flags = (op & 16) != 0 ? static_cast<int32_t>(FLAG_ONEWAY) : 0;
        int32_t n = static_cast<int8_t>(input.byte());
        MessageHeader header{MSG_TRANSACT, code, flags, 0, ++serial_, object};
        if ((op & 32) != 0) {
            header.type = MSG_OBJ_TRANSACT;
            std::vector<uint8_t> table = refs(input, n);
            peer_->queueMessage(header, table.data(), table.size());
        } else {
            uint8_t word[8] = {};
            storeLe32(word + 4, static_cast<uint32_t>(n));
            peer_->queueMessage(header, word, sizeof word);
        }
    }

    void release(FuzzInput& input) {
        uint8_t choice = input.byte();
        uint32_t handle = someGot(input.byte());
        auto found = got_.find(handle);
        uint32_t right = found != got_.end() ? found->second : 1;
        const uint32_t counts[] = {right, right - 1, right + 1, 0, UINT32_MAX};
        uint32_t count = counts[choice % 5];
        peer_->queueMessage({MSG_OBJ_RELEASE, count, 0, 0, 0, handle}, nullptr, 0);
        if (found != got_.end() && count >= right) got_.erase(found);
        if (found != got_.end() && count < right) found->second -= count;
    }

    void answer(FuzzInput& input) {
        pump();
        uint8_t how = input.byte();
        if (calls_.empty()) return;
        Call call = calls_.front();
        calls_.erase(calls_.begin());
        // A nested call first: served while the other side waits for this answer.
        if ((how & 1) != 0 && target_ != 0) {
            uint8_t word[8] = {};
            peer_->queueMessage({MSG_TRANSACT, kEcho, 0, 0, ++serial_, target_}, word, 8);
        }
        uint32_t serial = (how & 2) != 0 ? call.serial + 1 : call.serial;
        uint8_t word[4] = {};
        storeLe32(word, how);
        if ((how & 4) != 0) {
            std::vector<uint8_t> table = refs(input, how);
            peer_->queueMessage({MSG_OBJ_REPLY, 0, 0, 0, serial, call.object}, table.data(),
                                table.size());
        } else {
            peer_->queueMessage({MSG_REPLY, 0, (how & 8) != 0 ? -EPERM : 0, 0, serial, call.object},
                                word, 4);
        }
    }

    std::unique_ptr<HostilePeer> peer_;
    uint32_t target_;
    uint32_t serial_ = 0;
    std::map<uint32_t, uint32_t> got_;
    std::vector<Call> calls_;
};

}  // namespace zorlek::fuzz
