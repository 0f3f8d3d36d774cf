// SPDX-License-Identifier: Apache-2.0
#include "platform/ipc/registry_client.h"

#include <vector>

#include "platform/base/deadline.h"
#include "platform/base/registry_path.h"
#include "platform/transport/fd_closer.h"
#include "platform/transport/object_proxy.h"
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

}  // namespace

status_t connectToRegistry(const char* path, int timeoutMs, unique_fd* out, uint32_t* features) {
    unique_fd sock;
    status_t status = connectUnix(path, timeoutMs, &sock);
    if (status != OK) return status;
    // A newer registry may append fields to its answer: read, and passed over.
    ClientConnection connection(std::move(sock), kHeaderSize, kMaxRegistryRequest);
    // Whatever follows the answer belongs to whoever takes the socket next.
    connection.readExactly();
    Deadline deadline = Deadline::after(timeoutMs);
    status_t sent = connection.send(helloRequest(), nullptr, 0);
    if (sent == OK) sent = connection.drain(deadline);
    // A registry that will not take this connection says why and closes it, maybe before
    // the greeting arrived: its answer is still there to read.
    if (sent != OK && sent != -EPIPE) return sent;
    Message answer;
    status = connection.receive(&answer, deadline);
    if (status == -EMSGSIZE || status == -EBADMSG) return -EPROTO;
    if (status != OK) return sent != OK ? sent : status;
    status = helloAnswerStatus(answer.header);
    if (status != OK) return status;
    if (sent != OK) return sent;
    if (features != nullptr) *features = answer.header.serial;
    *out = connection.release();
    return OK;
}

status_t RegistryClient::open(const char* path, int timeoutMs, sp<RegistryClient>* out) {
    unique_fd sock;
    uint32_t features = 0;
    status_t status = connectToRegistry(path, timeoutMs, &sock, &features);
    if (status != OK) return status;
    *out =
        sp<RegistryClient>(new RegistryClient(String8(path), timeoutMs, std::move(sock), features));
    return OK;
}

sp<RegistryClient> RegistryClient::connect(const char* path, int timeoutMs) {
    sp<RegistryClient> client;
    open(path, timeoutMs, &client);
    return client;
}

RegistryClient::RegistryClient(String8 path, int timeoutMs, unique_fd sock, uint32_t features)
    : path_(std::move(path)),
      timeoutMs_(timeoutMs),
      connection_(kAnswerBuffer, kMaxParcelSize),
      features_(features),
      channels_(make<ChannelDirectory>()) {
    connection_.adopt(std::move(sock));
    connection_.waitInReceive(timeoutMs);
}

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
    connection_.adopt(std::move(sock));
    connection_.waitInReceive(timeoutMs_);
    // A new connection has introduced no host: each brings a new channel at its first
    // lookup, while the channels of the old one serve the proxies that hold them.
    channels_->restart();
    return OK;
}

void RegistryClient::disconnect() {
    connection_.reset();
}

status_t RegistryClient::beginRequests(bool many) {
    std::vector<uint64_t> releases = channels_->takeReleases();
    // Requests that go together, and the releases before them, leave in one write.
    if (many || !releases.empty()) connection_.cork();
    for (uint64_t host : releases) {
        MessageHeader release{MSG_RELEASE};
        setHost(&release, host);
        if (sendRequest(release, Parcel()) != OK) return -EPIPE;
    }
    return OK;
}

status_t RegistryClient::sendRequest(const MessageHeader& header, const Parcel& payload) {
    status_t status = connection_.send(header, payload);
    if (status != OK) disconnect();
    return status;
}

status_t RegistryClient::endRequests() {
    status_t status = connection_.drain(Deadline::after(timeoutMs_));
    if (status != OK) disconnect();
    return status;
}

status_t RegistryClient::receiveAnswer(uint32_t type, Message* answer, const Deadline& deadline) {
    status_t status = awaitAnswer(answer, deadline);
    return status == OK ? ClientConnection::answerStatus(*answer, type) : status;
}

status_t RegistryClient::request(const MessageHeader& header, const Parcel& payload,
                                 uint32_t answerType, Message* answer) {
    status_t status = ensureConnected();
    if (status == OK) status = beginRequests(false);
    if (status == OK) status = sendRequest(header, payload);
    if (status == OK) status = endRequests();
    if (status == OK) status = receiveAnswer(answerType, answer, Deadline::after(timeoutMs_));
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
        // What the host can read: a registry that does not say speaks for a host without
        // objects.
        int32_t features = 0;
        if (answer.payload.readInt32(&features) == OK) {
            channel->setPeerFeatures(static_cast<uint32_t>(features));
        }
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
        if (status != -EAGAIN || deadline.remainingMs() == 0) return status;
        pauseBefore(pauseMs, deadline);
        pauseMs = doubledPause(pauseMs, 64);
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
    Parcel& payload = request_;
    bool any = false;
    for (size_t i = 0; i < count && status == OK; ++i) {
        if (!askable(names[i])) continue;
        if (!any) status = beginRequests(true);
        any = true;
        payload.clear();
        payload.writeString16(names[i]);
        if (status == OK) status = sendRequest({MSG_LOOKUP}, payload);
    }
    if (any && status == OK) status = endRequests();
    if (status != OK) return status;
    for (size_t i = 0; i < count; ++i) {
        if (askable(names[i])) {
            status = receiveAnswer(MSG_LOOKUP_REPLY, &answer_, Deadline::after(timeoutMs_));
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
    Parcel& payload = request_;
    payload.clear();
    payload.writeString16(name);
    status = beginRequests(object != nullptr);
    if (status == OK) status = sendRequest({MSG_STATUS}, payload);
    if (status == OK && object != nullptr) status = sendRequest({MSG_LOOKUP}, payload);
    if (status == OK) status = endRequests();
    if (status == OK)
        status = receiveAnswer(MSG_STATUS_REPLY, &answer_, Deadline::after(timeoutMs_));
    // A registry that announced the feature and then did not know the request: as one that
    // never announced it.
    if (status == -EBADRQC) status = -EOPNOTSUPP;
    if (status == OK) status = takeHolder(answer_, out);
    if (status == -EBADMSG || (status != OK && status != -ENOENT && status != -EOPNOTSUPP)) {
        disconnect();
        return status;
    }
    if (object == nullptr) return status;
    status_t found = receiveAnswer(MSG_LOOKUP_REPLY, &answer_, Deadline::after(timeoutMs_));
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
