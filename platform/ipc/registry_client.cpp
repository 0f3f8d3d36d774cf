// SPDX-License-Identifier: Apache-2.0
#include "platform/ipc/registry_client.h"

#include <poll.h>

#include "platform/base/registry_path.h"
#include "platform/ipc/object_proxy.h"
#include "platform/transport/deadline.h"
#include "platform/transport/fd_closer.h"
#include "platform/transport/unix_connect.h"
#include "platform/transport/wire.h"

namespace zorlek {
namespace {

// The registry's answers are bare headers, but for listing pages; a page larger than
// this goes straight into its parcel.
constexpr size_t kAnswerBuffer = kClientReadBuffer;

// No registered name is empty or longer than kMaxNameUnits: asking for one would only
// send the registry an oversized request.
bool askable(const String16& name) {
    return name.size() > 0 && name.size() <= kMaxNameUnits;
}

// Appends one whole message to `frames`.
void frame(Parcel* frames, const MessageHeader& header, const Parcel& payload) {
    uint8_t head[kHeaderSize];
    encodeFrameStart(header, payload.dataSize(), head);
    frames->write(head, kHeaderSize);
    frames->write(payload.data(), payload.dataSize());
}

}  // namespace

status_t connectToRegistry(const char* path, int timeoutMs, unique_fd* out, uint32_t* features) {
    unique_fd sock;
    status_t status = connectUnix(path, timeoutMs, &sock);
    if (status != OK) return status;
    // A newer registry may append fields to its answer: read, and passed over.
    Stream stream(std::move(sock), kHeaderSize, kMaxRegistryRequest);
    // Whatever follows the answer belongs to whoever takes the socket next.
    stream.reader().readExactly();
    Deadline deadline = Deadline::after(timeoutMs);
    uint8_t hello[kHeaderSize];
    encodeHeader({MSG_HELLO, kProtocolMagic, kProtocolVersion, 0, 0, kPeerFeatures}, hello);
    iovec iov{hello, kHeaderSize};
    status_t sent = stream.sendAll(&iov, 1, -1, deadline);
    // A registry that will not take this connection says why and closes it, maybe before
    // the greeting arrived: its answer is still there to read.
    if (sent != OK && sent != -EPIPE) return sent;
    Message answer;
    status = stream.receive(&answer, deadline);
    if (status == -EMSGSIZE || status == -EBADMSG) return -EPROTO;
    if (status != OK) return sent != OK ? sent : status;
    if (answer.header.type != MSG_HELLO || answer.header.code != kProtocolMagic) return -EPROTO;
    // The reason: too many connections of this user, descriptors kept for others, or a
    // registry that speaks another version of the protocol.
    if (answer.header.value != OK) return answer.header.value < 0 ? answer.header.value : -EPROTO;
    if (static_cast<int32_t>(answer.header.object) != kProtocolVersion) return -EPROTONOSUPPORT;
    if (sent != OK) return sent;
    if (features != nullptr) *features = answer.header.serial;
    *out = stream.release();
    return OK;
}

sp<RegistryClient> RegistryClient::connect(const char* path, int timeoutMs) {
    unique_fd sock;
    uint32_t features = 0;
    if (connectToRegistry(path, timeoutMs, &sock, &features) != OK) return nullptr;
    Stream connection(std::move(sock), kAnswerBuffer, kMaxParcelSize);
    connection.waitInReceive(timeoutMs);
    return sp<RegistryClient>(
        new RegistryClient(String8(path), timeoutMs, std::move(connection), features));
}

RegistryClient::RegistryClient(String8 path, int timeoutMs, Stream connection, uint32_t features)
    : path_(std::move(path)),
      timeoutMs_(timeoutMs),
      connection_(std::move(connection)),
      features_(features),
      channels_(make<ChannelDirectory>()) {}

RegistryClient::~RegistryClient() {
    // Every request was answered (a connection out of step is closed at its failure): the
    // registry sends nothing more.
    connection_.closeAnswered();
}

status_t RegistryClient::ensureConnected() {
    if (connection_.valid()) return OK;
    unique_fd sock;
    status_t status = connectToRegistry(path_.c_str(), timeoutMs_, &sock, &features_);
    if (status != OK) return status;
    connection_ = Stream(std::move(sock), kAnswerBuffer, kMaxParcelSize);
    connection_.waitInReceive(timeoutMs_);
    // A new connection has introduced no host: each brings a new channel at its first
    // lookup, while the channels of the old one serve the proxies that hold them.
    channels_->restart();
    return OK;
}

void RegistryClient::disconnect() {
    connection_.reset();
}

status_t RegistryClient::sendFrames(const uint8_t* head, size_t headSize, const Parcel& frames) {
    Parcel releases;
    for (uint64_t host : channels_->takeReleases()) {
        MessageHeader release{MSG_RELEASE};
        setHost(&release, host);
        frame(&releases, release, Parcel());
    }
    iovec iov[3] = {{const_cast<uint8_t*>(releases.data()), releases.dataSize()},
                    {const_cast<uint8_t*>(head), headSize},
                    {const_cast<uint8_t*>(frames.data()), frames.dataSize()}};
    status_t status = connection_.sendAll(iov, 3, -1, Deadline::after(timeoutMs_));
    if (status != OK) disconnect();
    return status;
}

status_t RegistryClient::request(const MessageHeader& header, const Parcel& payload,
                                 uint32_t answerType, Message* answer) {
    status_t status = ensureConnected();
    if (status != OK) return status;
    uint8_t head[kHeaderSize];
    encodeFrameStart(header, payload.dataSize(), head);
    status = sendFrames(head, kHeaderSize, payload);
    if (status == OK) status = connection_.receive(answer, Deadline::after(timeoutMs_));
    if (status == OK) status = answerStatus(*answer, answerType);
    // A request the registry did not know leaves the connection in step.
    if (status == -EBADRQC) return status;
    if (status != OK) {
        // A registry that failed one request may still send its late answer; a fresh
        // connection keeps later answers in step.
        disconnect();
        answer->payload.clear();
    }
    return status;
}

status_t RegistryClient::answerStatus(const Message& answer, uint32_t type) {
    if (answer.header.type == type) return OK;
    // In place of the answer: the registry did not know the request.
    return answer.header.type == MSG_ERROR ? -EBADRQC : -EBADMSG;
}

status_t RegistryClient::takeLookupAnswer(Message& answer, sp<IBinder>* out) {
    *out = nullptr;
    const MessageHeader& header = answer.header;
    // A channel end that comes with an answer it does not belong to is let go as every
    // client socket is: a host may have sent into it already.
    if (header.value < 0) {
        closeSocket(std::move(answer.fd));
        return header.value;
    }
    if (header.value > 0 || header.object == 0) {
        closeSocket(std::move(answer.fd));
        disconnect();
        return -EBADMSG;
    }
    uint64_t host = hostOf(header);
    sp<ClientChannel> channel;
    if (answer.fd) {
        channel = make<ClientChannel>(std::move(answer.fd), timeoutMs_, channels_, host,
                                      channels_->generation());
        channels_->add(host, channel.get());
    } else {
        channel = channels_->find(host);
        // A host this connection was never introduced to: the registry is out of step.
        if (!channel) {
            disconnect();
            return -EBADMSG;
        }
    }
    *out = make<ObjectProxy>(std::move(channel), header.object);
    return OK;
}

status_t RegistryClient::lookup(const String16& name, sp<IBinder>* out) {
    return lookupUntil(name, out, Deadline::after(timeoutMs_));
}

status_t RegistryClient::lookupUntil(const String16& name, sp<IBinder>* out,
                                     const Deadline& deadline) {
    *out = nullptr;
    if (!askable(name)) return -ENOENT;
    Parcel& payload = request_;
    payload.clear();
    payload.writeString16(name);
    int pauseMs = 1;
    for (;;) {
        status_t status = request({MSG_LOOKUP}, payload, MSG_LOOKUP_REPLY, &answer_);
        if (status == OK) status = takeLookupAnswer(answer_, out);
        // A host busy taking its channels is asked again after a short pause.
        int left = deadline.remainingMs();
        if (status != -EAGAIN || left == 0) return status;
        ::poll(nullptr, 0, pauseMs < left ? pauseMs : left);
        if (pauseMs < 64) pauseMs *= 2;
    }
}

status_t RegistryClient::lookupServices(const String16* names, size_t count, sp<IBinder>* out,
                                        size_t* answered) {
    *answered = 0;
    for (size_t i = 0; i < count; ++i) out[i] = nullptr;
    for (size_t done = 0; done < count;) {
        size_t batch = count - done < kLookupBatch ? count - done : kLookupBatch;
        bool refused[kLookupBatch] = {};
        size_t got = 0;
        status_t status = lookupBatch(names + done, batch, out + done, &got, refused);
        *answered = done + got;
        if (status != OK) return status;
        lookupRefused(names + done, batch, out + done, refused);
        done += batch;
    }
    return OK;
}

status_t RegistryClient::lookupBatch(const String16* names, size_t count, sp<IBinder>* out,
                                     size_t* answered, bool* refused) {
    status_t status = ensureConnected();
    if (status != OK) return status;
    // Every request goes out in one write before the first answer is awaited: the
    // registry answers in order, without waiting on any host.
    Parcel frames;
    Parcel payload;
    for (size_t i = 0; i < count; ++i) {
        if (!askable(names[i])) continue;
        payload.clear();
        payload.writeString16(names[i]);
        frame(&frames, {MSG_LOOKUP}, payload);
    }
    if (frames.dataSize() > 0 && (status = sendFrames(nullptr, 0, frames)) != OK) return status;
    for (size_t i = 0; i < count; ++i) {
        if (askable(names[i])) {
            status = connection_.receive(&answer_, Deadline::after(timeoutMs_));
            if (status == OK) status = answerStatus(answer_, MSG_LOOKUP_REPLY);
            if (status != OK) {
                disconnect();
                return status;
            }
            refused[i] = takeLookupAnswer(answer_, &out[i]) == -EAGAIN;
            if (!connection_.valid()) return -EBADMSG;
        }
        *answered = i + 1;
    }
    return OK;
}

void RegistryClient::lookupRefused(const String16* names, size_t count, sp<IBinder>* out,
                                   const bool* refused) {
    // All the refused lookups of a batch share one bound, however many they are.
    Deadline deadline = Deadline::after(timeoutMs_);
    for (size_t i = 0; i < count; ++i) {
        if (refused[i]) lookupUntil(names[i], &out[i], deadline);
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
        status_t status = request({MSG_LIST}, payload, MSG_LIST_REPLY, &answer_);
        if (status != OK) return status;
        Parcel& page = answer_.payload;
        bytes += page.dataSize();
        int32_t count = 0;
        int32_t more = answer_.header.value;
        bool wellFormed = page.readInt32(&count) == OK && count >= 0 &&
                          static_cast<size_t>(count) <= page.dataAvail() / 8 &&
                          (more == 0 || (more == 1 && count > 0));
        bool withinBounds = bytes <= kMaxListedBytes;
        for (int32_t i = 0; wellFormed && withinBounds && i < count; ++i) {
            String16 name;
            // Each page continues the order, so a registry cannot hand out a name twice.
            wellFormed = page.readString16(&name) == OK && name.size() > 0 &&
                         (names.empty() || names.back() < name);
            withinBounds = names.size() < kMaxListedNames;
            if (wellFormed && withinBounds) names.push_back(std::move(name));
        }
        // What a newer registry appends after the names is passed over.
        if (!wellFormed || !withinBounds) {
            disconnect();
            return wellFormed && !withinBounds ? -E2BIG : -EBADMSG;
        }
        if (more == 0) break;
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

status_t RegistryClient::holderOf(const String16& name, ServiceHolder* out, sp<IBinder>* object) {
    *out = ServiceHolder();
    if (object != nullptr) *object = nullptr;
    if (!askable(name)) return -ENOENT;
    status_t status = ensureConnected();
    if (status != OK) return status;
    if ((features_ & FEATURE_STATUS) == 0) return -EOPNOTSUPP;
    // The question and the lookup leave in one write; the registry answers them in order.
    Parcel frames;
    Parcel& payload = request_;
    payload.clear();
    payload.writeString16(name);
    frame(&frames, {MSG_STATUS}, payload);
    if (object != nullptr) frame(&frames, {MSG_LOOKUP}, payload);
    status = sendFrames(nullptr, 0, frames);
    if (status == OK) status = connection_.receive(&answer_, Deadline::after(timeoutMs_));
    if (status == OK) status = answerStatus(answer_, MSG_STATUS_REPLY);
    // A registry that announced the feature and then did not know the request: as one that
    // never announced it.
    if (status == -EBADRQC) status = -EOPNOTSUPP;
    if (status == OK) status = takeHolder(answer_, out);
    if (status == -EBADMSG || (status != OK && status != -ENOENT && status != -EOPNOTSUPP)) {
        disconnect();
        return status;
    }
    if (object == nullptr) return status;
    status_t found = connection_.receive(&answer_, Deadline::after(timeoutMs_));
    if (found == OK) found = answerStatus(answer_, MSG_LOOKUP_REPLY);
    if (found == OK) {
        takeLookupAnswer(answer_, object);
    } else {
        disconnect();
    }
    return status;
}

status_t RegistryClient::takeHolder(Message& answer, ServiceHolder* out) {
    if (answer.header.value != OK) return answer.header.value < 0 ? answer.header.value : -EBADMSG;
    Parcel& page = answer.payload;
    int32_t uid = 0, gid = 0, low = 0, high = 0, count = 0;
    bool wellFormed = page.readInt32(&out->pid) == OK && page.readInt32(&uid) == OK &&
                      page.readInt32(&gid) == OK && page.readInt32(&low) == OK &&
                      page.readInt32(&high) == OK && page.readInt32(&count) == OK && count >= 0 &&
                      static_cast<size_t>(count) <= page.dataAvail() / 8;
    for (int32_t i = 0; wellFormed && i < count; ++i) {
        String16 held;
        wellFormed = page.readString16(&held) == OK;
        out->names.push_back(std::move(held));
    }
    if (!wellFormed) {
        *out = ServiceHolder();
        return -EBADMSG;
    }
    out->uid = static_cast<uint32_t>(uid);
    out->gid = static_cast<uint32_t>(gid);
    out->sinceMs = static_cast<int64_t>(uint64_t{static_cast<uint32_t>(high)} << 32 |
                                        static_cast<uint32_t>(low));
    return OK;
}

int32_t protocolVersion() {
    return kProtocolVersion;
}

sp<ServiceManager> defaultServiceManager() {
    return RegistryClient::connect(registryPath(), callTimeoutMs());
}

}  // namespace zorlek
