#include "platform/ipc/wire.h"

namespace zorlek {
namespace {

void store(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
    at[2] = static_cast<uint8_t>(value >> 16);
    at[3] = static_cast<uint8_t>(value >> 24);
}

uint32_t load(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
           static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
}

}  // namespace

void encodeHeader(const MessageHeader& header, uint8_t out[kHeaderSize]) {
    store(out, header.type);
    store(out + 4, header.code);
    store(out + 8, static_cast<uint32_t>(header.value));
    store(out + 12, header.size);
}

MessageHeader decodeHeader(const uint8_t in[kHeaderSize]) {
    MessageHeader header;
    header.type = load(in);
    header.code = load(in + 4);
    header.value = static_cast<int32_t>(load(in + 8));
    header.size = load(in + 12);
    return header;
}

status_t checkHeader(const MessageHeader& header, size_t maxPayload) {
    if (header.size > maxPayload) return -EMSGSIZE;
    if (header.size % 4 != 0) return -EBADMSG;
    return OK;
}

}  // namespace zorlek
