// SPDX-License-Identifier: Apache-2.0
#include "fuzz/registry_peer.h"

#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>

#include "fuzz/check.h"
#include "platform/transport/wire.h"

namespace zorlek::fuzz {
namespace {

// The request each answer answers; 0 for none.
uint32_t requestOf(uint32_t answer) {
    switch (answer) {
        case MSG_REGISTER_REPLY:
            return MSG_REGISTER;
        case MSG_LOOKUP_REPLY:
            return MSG_LOOKUP;
        case MSG_LIST_REPLY:
            return MSG_LIST;
        case MSG_STATUS_REPLY:
            return MSG_STATUS;
        case MSG_WATCH_REPLY:
            return MSG_WATCH;
        default:
            return 0;
    }
}

bool isRequest(uint32_t type) {
    return type == MSG_HELLO || type == MSG_REGISTER || type == MSG_LOOKUP || type == MSG_LIST ||
           type == MSG_RELEASE || type == MSG_WATCH || type == MSG_STATUS;
}

std::u16string firstString(const Parcel& payload) {
    Parcel copy(payload);
    copy.setDataPosition(0);
    return std::u16string(copy.readString16().view());
}

}  // namespace

unique_fd connectAs(const std::string& name, uid_t uid) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    name.copy(address.sun_path, sizeof(address.sun_path));
    auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    unique_fd sock(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    bool switched = ::geteuid() == 0 && uid != 0;
    if (switched) {
        ::syscall(SYS_setresgid, -1, uid, -1);
        ::syscall(SYS_setresuid, -1, uid, -1);
    }
    int connected = ::connect(sock.get(), reinterpret_cast<sockaddr*>(&address), length);
    if (switched) {
        ::syscall(SYS_setresuid, -1, 0, -1);
        ::syscall(SYS_setresgid, -1, 0, -1);
    }
    return connected == 0 ? std::move(sock) : unique_fd();
}

HostilePeer& RegistryPeer::link(const std::string& address) {
    if (!link_)
        link_ = std::make_unique<HostilePeer>(connectAs(address, uid_), kMaxRegistryRequest);
    return *link_;
}

void RegistryPeer::account() {
    Message message;
    while (link_->nextSent(&message) == 1) {
        const MessageHeader& header = message.header;
        if (!spoke_) {
            spoke_ = true;
            greeted_ = header.type == MSG_HELLO && header.code == kProtocolMagic &&
                       header.value == kProtocolVersion && header.size == 0;
        }
        ++sent_[bucket(header.type)];
        if (header.type == MSG_REGISTER) registering_.push_back(firstString(message.payload));
    }
}

void RegistryPeer::takeAnswers() {
    if (!link_ || !link_->open()) return;
    Message message;
    int got;
    while ((got = link_->nextReceived(&message)) == 1) answer(message);
    check(got == 0 || got == -EPIPE, "the registry's answers are well-formed");
}

void RegistryPeer::answer(const Message& message) {
    const MessageHeader& header = message.header;
    size_t type = bucket(header.type);
    check(!message.fd.valid() || header.type == MSG_CHANNEL ||
              (header.type == MSG_LOOKUP_REPLY && header.value == OK),
          "a descriptor comes only with a channel or a successful lookup");
    uint32_t request = requestOf(header.type);
    bool asked = false;
    if (request != 0 && answered_[type] < sent_[request]) {
        asked = true;
        if (header.type == MSG_REGISTER_REPLY) {
            if (header.value == OK) held_.insert(registering_.front());
            registering_.pop_front();
        }
    } else if (header.type == MSG_HELLO && answered_[type] == 0) {
        asked = true;
        welcomed_ = greeted_ && header.value == OK;
    } else if (header.type == MSG_CHANNEL && message.fd.valid()) {
        asked = !held_.empty();
        check(asked, "a channel goes only to a peer that holds a name");
    }
    if (asked) {
        ++answered_[type];
        return;
    }
    // An answer to nothing it asked: only a peer that sent requests of no kind the
    // registry knows may be told so, once for each.
    size_t unknown = 0;
    for (size_t t = 0; t < kTypes; ++t) {
        if (!isRequest(static_cast<uint32_t>(t))) unknown += sent_[t];
    }
    check(++strayAnswers_ <= unknown, "an answer goes only to a peer that asked");
}

void RegistryPeer::checkEnd() const {
    if (!link_ || !link_->open()) return;
    if (link_->sentMalformed()) {
        check(link_->ended(), "a peer whose framing breaks is dropped");
        return;
    }
    if (link_->ended() || !welcomed_) return;
    for (uint32_t answer :
         {MSG_REGISTER_REPLY, MSG_LOOKUP_REPLY, MSG_LIST_REPLY, MSG_STATUS_REPLY}) {
        check(answered_[answer] == sent_[requestOf(answer)],
              "a peer still connected has every request answered once");
    }
}

}  // namespace zorlek::fuzz
