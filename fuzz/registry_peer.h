// SPDX-License-Identifier: Apache-2.0
// A peer of the registry as registry_life_fuzz plays it: a hostile peer on a connection
// made as one user or another, and the account of what it has asked and been answered,
// against which each answer is checked as it comes.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <set>
#include <string>

#include "fuzz/hostile_peer.h"
#include "platform/base/unique_fd.h"
#include "platform/transport/message_reader.h"

namespace zorlek::fuzz {

// Connects to the Unix socket of the abstract name `name` as `uid` would: the kernel
// records the connecting thread's credentials, so only this thread's user changes, and
// back. As this process's own user when it is not root. Invalid when it failed.
unique_fd connectAs(const std::string& name, uid_t uid);

class RegistryPeer {
  public:
    explicit RegistryPeer(uid_t uid) : uid_(uid) {}

    // Its connection, made as its user at the first use.
    HostilePeer& link(const std::string& address);
    // Null until it has connected, and once it has left.
    HostilePeer* link() { return link_.get(); }
    // Leaves: closes its end.
    void leave() { link_.reset(); }

    // Accounts for the messages its connection has sent whole since the last call.
    void account();
    // Takes every answer that has arrived, checking each against what it asked.
    void takeAnswers();

    // True while its end is open and the registry has not closed the other.
    bool connected() const { return link_ && link_->open() && !link_->ended(); }
    // The names the registry answered it as registered.
    const std::set<std::u16string>& held() const { return held_; }
    // What the registry had left unread of its sends when a drain last looked.
    int unreadSeen = 0;
    // Checks the end state of a peer that the registry has had every chance to answer:
    // dropped when its framing broke, and otherwise, greeted and still connected, answered
    // once for each request that is always answered.
    void checkEnd() const;

  private:
    // Counts are kept by message type; every type past the last known one counts as one.
    static constexpr size_t kTypes = MSG_REPLY + 2;
    static size_t bucket(uint32_t type) { return type < kTypes ? type : kTypes - 1; }

    void answer(const Message& message);

    uid_t uid_;
    std::unique_ptr<HostilePeer> link_;
    size_t sent_[kTypes] = {};
    size_t answered_[kTypes] = {};
    size_t strayAnswers_ = 0;
    bool spoke_ = false;     // it has sent a whole message
    bool greeted_ = false;   // its first message was a well-formed greeting
    bool welcomed_ = false;  // and the registry took it
    std::deque<std::u16string> registering_;
    std::set<std::u16string> held_;
};

}  // namespace zorlek::fuzz
