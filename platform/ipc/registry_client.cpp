#include "platform/ipc/registry_client.h"
#include "platform/ipc/object_proxy.h"
#include "platform/ipc/registry_path.h"
#include "platform/transport/message_io.h"
#include "platform/transport/unix_connect.h"
#include "platform/transport/wire.h"

namespace zorlek {

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
    return sp<RegistryClient>(new RegistryClient(String8(path), timeoutMs, std::move(connection)));
}

RegistryClient::RegistryClient(String8 path, int timeoutMs, unique_fd connection)
    : path_(std::move(path)), timeoutMs_(timeoutMs), connection_(std::move(connection)) {}

status_t RegistryClient::ensureConnected() {
    if (connection_) return OK;
    return connectToRegistry(path_.c_str(), timeoutMs_, &connection_);
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
                                timeoutMs_);
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

status_t RegistryClient::lookup(const String16& name, sp<IBinder>* out) {
    *out = nullptr;
    // No registered name is longer; asking would only send the registry an oversized
    // request.
    if (name.size() == 0 || name.size() > kMaxNameUnits) return -ENOENT;
    Parcel payload;
    payload.writeString16(name);
    MessageHeader answer;
    Parcel answerPayload;
    unique_fd channel;
    status_t status = request({MSG_LOOKUP, 0, 0, 0}, payload, MSG_LOOKUP_REPLY, &answer,
                              &answerPayload, &channel);
    if (status != OK) return status;
    if (answer.value != OK) return answer.value < 0 ? answer.value : -EBADMSG;
    if (!channel || answerPayload.dataSize() != 0) {
        connection_.reset();
        return -EBADMSG;
    }
    *out = sp<IBinder>(new ObjectProxy(std::move(channel), timeoutMs_));
    return OK;
}

status_t RegistryClient::list(Vector<String16>* out) {
    out->clear();
    Vector<String16> names;
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
        int32_t count = 0;
        bool wellFormed = page.readInt32(&count) == OK && count >= 0 &&
                          static_cast<size_t>(count) <= page.dataAvail() / 8 &&
                          (answer.value == 0 || (answer.value == 1 && count > 0));
        for (int32_t i = 0; wellFormed && i < count; ++i) {
            String16 name;
            // Each page continues the order, so a registry cannot make the loop go round
            // for ever or hand out a name twice.
            wellFormed = page.readString16(&name) == OK && name.size() > 0 &&
                         (names.empty() || names.back() < name);
            if (wellFormed) names.push_back(std::move(name));
        }
        if (!wellFormed || page.dataAvail() != 0) {
            connection_.reset();
            return -EBADMSG;
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
