#include "platform/ipc/registry_client.h"

#include <fcntl.h>
#include <poll.h>

#include "platform/ipc/object_proxy.h"
#include "platform/ipc/registry_path.h"
#include "platform/transport/deadline.h"
#include "platform/transport/message_io.h"
#include "platform/transport/unix_connect.h"
#include "platform/transport/wire.h"

namespace zorlek {
namespace {

// No registered name is empty or longer than kMaxNameUnits: asking for one would only
// send the registry an oversized request.
bool askable(const String16& name) {
    return name.size() > 0 && name.size() <= kMaxNameUnits;
}

// Lets a receive wait inside recvmsg, bounded by the socket's receive timeout, rather
// than in a poll() before it. Should either step fail, receives stay safe: a socket
// without the timeout is left non-blocking, and its receives wait in poll().
void waitInReceive(int fd, int timeoutMs) {
    if (setReceiveTimeout(fd, timeoutMs) != OK) return;
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
}

}  // namespace

status_t connectToRegistry(const char* path, int timeoutMs, unique_fd* out) {
    unique_fd sock;
    status_t status = connectUnix(path, timeoutMs, &sock);
    if (status != OK) return status;
    MessageHeader hello{MSG_HELLO, kProtocolMagic, kProtocolVersion, 0};
    status_t sent = sendMessage(sock.get(), hello, nullptr, 0, -1, timeoutMs);
    // A registry that will not take this connection says why and closes it, maybe before
    // the greeting arrived: its answer is still there to read.
    if (sent != OK && sent != -EPIPE) return sent;
    MessageHeader answer;
    Parcel empty;
    status = receiveMessage(sock.get(), &answer, &empty, nullptr, 0, timeoutMs);
    if (status == -EMSGSIZE || status == -EBADMSG) return -EPROTO;
    if (status != OK) return sent != OK ? sent : status;
    if (answer.type != MSG_HELLO || answer.code != kProtocolMagic) return -EPROTO;
    // The reason: too many connections of this user, or descriptors kept for others.
    if (answer.value != OK) return answer.value < 0 ? answer.value : -EPROTO;
    if (sent != OK) return sent;
    *out = std::move(sock);
    return OK;
}

sp<RegistryClient> RegistryClient::connect(const char* path, int timeoutMs) {
    unique_fd connection;
    if (connectToRegistry(path, timeoutMs, &connection) != OK) return nullptr;
    waitInReceive(connection.get(), timeoutMs);
    return sp<RegistryClient>(new RegistryClient(String8(path), timeoutMs, std::move(connection)));
}

RegistryClient::RegistryClient(String8 path, int timeoutMs, unique_fd connection)
    : path_(std::move(path)), timeoutMs_(timeoutMs), connection_(std::move(connection)) {}

status_t RegistryClient::ensureConnected() {
    if (connection_) return OK;
    status_t status = connectToRegistry(path_.c_str(), timeoutMs_, &connection_);
    if (status == OK) waitInReceive(connection_.get(), timeoutMs_);
    return status;
}

status_t RegistryClient::request(const MessageHeader& header, const Parcel& payload,
                                 uint32_t answerType, MessageHeader* answer, Parcel* answerPayload,
                                 unique_fd* passedFd) {
    status_t status = ensureConnected();
    if (status != OK) return status;
    status =
        sendMessage(connection_.get(), header, payload.data(), payload.dataSize(), -1, timeoutMs_);
    if (status == OK) {
        status = receiveMessage(connection_.get(), answer, answerPayload, passedFd, kMaxParcelSize,
                                timeoutMs_, FirstWait::kInReceive);
    }
    if (status == OK && answer->type != answerType) status = -EBADMSG;
    if (status != OK) {
        // A registry that failed one request may still send its late answer; a fresh
        // connection keeps later answers in step.
        connection_.reset();
        answerPayload->clear();
    }
    return status;
}

status_t RegistryClient::takeLookupAnswer(const MessageHeader& answer, size_t payloadSize,
                                          unique_fd channel, sp<IBinder>* out) {
    if (answer.value != OK) return answer.value < 0 ? answer.value : -EBADMSG;
    if (!channel || payloadSize != 0) {
        connection_.reset();
        return -EBADMSG;
    }
    *out = sp<IBinder>(new ObjectProxy(std::move(channel), timeoutMs_));
    return OK;
}

status_t RegistryClient::lookup(const String16& name, sp<IBinder>* out) {
    *out = nullptr;
    if (!askable(name)) return -ENOENT;
    Parcel payload;
    payload.writeString16(name);
    MessageHeader answer;
    Parcel answerPayload;
    unique_fd channel;
    status_t status = request({MSG_LOOKUP, 0, 0, 0}, payload, MSG_LOOKUP_REPLY, &answer,
                              &answerPayload, &channel);
    if (status != OK) return status;
    return takeLookupAnswer(answer, answerPayload.dataSize(), std::move(channel), out);
}

void RegistryClient::lookupServices(const String16* names, size_t count, sp<IBinder>* out) {
    for (size_t done = 0; done < count;) {
        size_t batch = count - done < kMaxLookupsInFlight ? count - done : kMaxLookupsInFlight;
        done += lookupBatch(names + done, batch, out + done);
    }
}

size_t RegistryClient::lookupBatch(const String16* names, size_t count, sp<IBinder>* out) {
    for (size_t i = 0; i < count; ++i) out[i] = nullptr;
    if (ensureConnected() != OK) return count;
    // Every request goes out before the first answer is awaited: the registry answers in
    // order. A failure settles the names up to the first one still unanswered, and the
    // caller asks again for the rest, on a fresh connection.
    size_t firstAsked = count;
    Parcel requests;
    Parcel payload;
    for (size_t i = 0; i < count; ++i) {
        if (!askable(names[i])) continue;
        if (firstAsked == count) firstAsked = i;
        payload.clear();
        payload.writeString16(names[i]);
        uint8_t head[kHeaderSize];
        encodeFrameStart({MSG_LOOKUP, 0, 0, 0}, payload.dataSize(), head);
        requests.write(head, kHeaderSize);
        requests.write(payload.data(), payload.dataSize());
    }
    if (firstAsked < count &&
        sendFrames(connection_.get(), requests.data(), requests.dataSize(), timeoutMs_) != OK) {
        connection_.reset();
        return firstAsked + 1;
    }
    // An answer is a bare header, read on its own: the kernel may join an answer that
    // carries no channel to the next one in a single read, so reading more at once could
    // not tell whose channel came.
    MessageHeader answer;
    Parcel empty;
    bool refused[kMaxLookupsInFlight] = {};
    for (size_t i = 0; i < count; ++i) {
        if (!askable(names[i])) continue;
        unique_fd channel;
        status_t status = receiveMessage(connection_.get(), &answer, &empty, &channel, 0,
                                         timeoutMs_, FirstWait::kInReceive);
        if (status == OK && answer.type != MSG_LOOKUP_REPLY) status = -EBADMSG;
        if (status == OK) {
            refused[i] = takeLookupAnswer(answer, 0, std::move(channel), &out[i]) == -EAGAIN;
        }
        if (status != OK || !connection_) {
            connection_.reset();
            return i + 1;
        }
    }
    // A lookup refused for a backlog (-EAGAIN), perhaps this batch's own, is asked again
    // alone once the batch is in, as one asked alone would have been served.
    for (size_t i = 0; i < count; ++i) {
        if (refused[i]) lookupRefused(names[i], &out[i]);
    }
    return count;
}

void RegistryClient::lookupRefused(const String16& name, sp<IBinder>* out) {
    Deadline deadline = Deadline::after(timeoutMs_);
    int pauseMs = 1;
    while (lookup(name, out) == -EAGAIN) {
        int left = deadline.remainingMs();
        if (left == 0) return;
        ::poll(nullptr, 0, pauseMs < left ? pauseMs : left);
        if (pauseMs < 64) pauseMs *= 2;
    }
}

status_t RegistryClient::list(Vector<String16>* out) {
    out->clear();
    Vector<String16> names;
    size_t bytes = 0;
    for (;;) {
        Parcel payload;
        if (names.empty()) {
            payload.writeNullString16();
        } else {
            payload.writeString16(names.back());
        }
        MessageHeader answer;
        Parcel page;
        status_t status =
            request({MSG_LIST, 0, 0, 0}, payload, MSG_LIST_REPLY, &answer, &page, nullptr);
        if (status != OK) return status;
        bytes += page.dataSize();
        int32_t count = 0;
        bool wellFormed = page.readInt32(&count) == OK && count >= 0 &&
                          static_cast<size_t>(count) <= page.dataAvail() / 8 &&
                          (answer.value == 0 || (answer.value == 1 && count > 0));
        bool withinBounds = bytes <= kMaxListedBytes;
        for (int32_t i = 0; wellFormed && withinBounds && i < count; ++i) {
            String16 name;
            // Each page continues the order, so a registry cannot hand out a name twice.
            wellFormed = page.readString16(&name) == OK && name.size() > 0 &&
                         (names.empty() || names.back() < name);
            withinBounds = names.size() < kMaxListedNames;
            if (wellFormed && withinBounds) names.push_back(std::move(name));
        }
        if (!wellFormed || !withinBounds || page.dataAvail() != 0) {
            connection_.reset();
            return wellFormed && !withinBounds ? -E2BIG : -EBADMSG;
        }
        if (answer.value == 0) break;
    }
    *out = std::move(names);
    return OK;
}

sp<IBinder> RegistryClient::lookupService(const String16& name) {
    sp<IBinder> object;
    lookup(name, &object);
    return object;
}

Vector<String16> RegistryClient::listServiceNames() {
    Vector<String16> names;
    list(&names);
    return names;
}

sp<ServiceManager> defaultServiceManager() {
    return RegistryClient::connect(registryPath(), callTimeoutMs());
}

}  // namespace zorlek
