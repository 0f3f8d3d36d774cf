// SPDX-License-Identifier: Apache-2.0
#include "platform/transport/wire.h"

#include "platform/base/little_endian.h"

namespace zorlek {

void encodeHeader(const MessageHeader& header, uint8_t out[kHeaderSize]) {
    storeLe32(out, header.type);
    storeLe32(out + 4, header.code);
    storeLe32(out + 8, static_cast<uint32_t>(header.value));
    storeLe32(out + 12, header.size);
    storeLe32(out + 16, header.serial);
    storeLe32(out + 20, header.object);
}

status_t encodeFrameStart(MessageHeader header, size_t size, uint8_t out[kHeaderSize]) {
    if (size > kMaxParcelSize) return -EMSGSIZE;
    header.size = static_cast<uint32_t>(size);
    encodeHeader(header, out);
    return OK;
}

MessageHeader decodeHeader(const uint8_t in[kHeaderSize]) {
    MessageHeader header;
    header.type = loadLe32(in);
    header.code = loadLe32(in + 4);
    header.value = static_cast<int32_t>(loadLe32(in + 8));
    header.size = loadLe32(in + 12);
    header.serial = loadLe32(in + 16);
    header.object = loadLe32(in + 20);
    return header;
}

status_t checkHeader(const MessageHeader& header, size_t maxPayload) {
    if (header.size > maxPayload) return -EMSGSIZE;
    if (header.size % 4 != 0) return -EBADMSG;
    return OK;
}

status_t helloAnswerStatus(const MessageHeader& answer) {
    if (answer.type != MSG_HELLO || answer.code != kProtocolMagic) return -EPROTO;
    // The reason: too many connections of this user, descriptors kept for others, or a
    // registry that speaks another version of the protocol.
    if (answer.value != OK) return answer.value < 0 ? answer.value : -EPROTO;
    if (static_cast<int32_t>(answer.object) != kProtocolVersion) return -EPROTONOSUPPORT;
    return OK;
}

int32_t oldHelloVersion(const uint8_t in[kOldHeaderSize]) {
    int32_t version = static_cast<int32_t>(loadLe32(in + 8));
    bool hello =
        loadLe32(in) == MSG_HELLO && loadLe32(in + 4) == kProtocolMagic && loadLe32(in + 12) == 0;
    return hello && version >= 1 && version < 3 ? version : 0;
}

}  // namespace zorlek
