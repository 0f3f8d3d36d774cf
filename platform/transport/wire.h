// The framing shared by every connection: the registry's, and each private channel
// between a client and a hosting process.
//
// A message is a 16-byte header followed by `size` payload bytes. The header is four
// little-endian 32-bit words: type, code, value (flags in a request, status in a reply)
// and size. A payload is a parcel's bytes, so its size is a multiple of 4 and at most
// kMaxParcelSize; anything else is malformed. At most one file descriptor travels with a
// message (SCM_RIGHTS), and only on the types typeCarriesFd() names.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/ipc/status.h"

namespace zorlek {

constexpr size_t kHeaderSize = 16;

// Message types.
enum MessageType : uint32_t {
    // Opening handshake, both ways: code kProtocolMagic, value the client's version
    // (kOldestProtocolVersion..kProtocolVersion) from the client, value 0 from the
    // registry. Must be the first message on a registry connection.
    MSG_HELLO = 1,
    // Client to registry: payload is the name as a UTF-16 string.
    MSG_REGISTER = 2,
    // Registry to client: value is 0 or -EINVAL / -EEXIST / -EPERM / -EDQUOT; an -EPERM
    // to a client that greeted with version 3 or later may carry a payload of one UTF-16
    // string saying who may hold the name.
    MSG_REGISTER_REPLY = 3,
    // Client to registry: payload is the name as a UTF-16 string.
    MSG_LOOKUP = 4,
    // Registry to client: value 0 with the client's end of a new channel attached, or
    // -ENOENT (or another negative errno) with no descriptor.
    MSG_LOOKUP_REPLY = 5,
    // Client to registry: payload is a UTF-16 string; the listing starts after that name
    // (a null string starts at the beginning).
    MSG_LIST = 6,
    // Registry to client: payload is an int32 count and that many UTF-16 names in
    // code-unit order; value 1 when more names follow (ask again after the last one),
    // else 0. Each page stays within kListPageBytes.
    MSG_LIST_REPLY = 7,
    // Registry to hosting process: the hosting end of a new channel is attached; payload
    // is the registered name the client looked up, then (to a host that greeted with
    // version 2 or later) the client's pid, uid and gid as three int32s.
    MSG_CHANNEL = 8,
    // Client to hosting process: code is the transaction code, value its flags, payload
    // the request.
    MSG_TRANSACT = 16,
    // Hosting process to client: code repeats the transaction code, value is the status,
    // payload the reply.
    MSG_REPLY = 17,
};

constexpr uint32_t kProtocolMagic = 0x5A524C4B;  // "ZRLK"
// Version 2 added the client's credentials to MSG_CHANNEL, version 3 the reason of a
// refused registration; a registry still serves older peers as before.
constexpr int32_t kProtocolVersion = 3;
constexpr int32_t kOldestProtocolVersion = 1;

// The largest payload the registry accepts from a client; a registry request holds at
// most one name, so anything bigger is malformed.
constexpr size_t kMaxRegistryRequest = 4096;
// The budget of one MSG_LIST_REPLY payload.
constexpr size_t kListPageBytes = 64 * 1024;
// The longest name the registry accepts, in UTF-16 code units.
constexpr size_t kMaxNameUnits = 256;

// True for the message types that carry one file descriptor.
constexpr bool typeCarriesFd(uint32_t type) {
    return type == MSG_LOOKUP_REPLY || type == MSG_CHANNEL;
}

struct MessageHeader {
    uint32_t type = 0;
    uint32_t code = 0;
    int32_t value = 0;
    uint32_t size = 0;
};

// Writes `header` as its 16 wire bytes.
void encodeHeader(const MessageHeader& header, uint8_t out[kHeaderSize]);
// Writes the 16 wire bytes that start a message of `header` with a `size`-byte payload;
// -EMSGSIZE (nothing written) when `size` passes kMaxParcelSize.
status_t encodeFrameStart(MessageHeader header, size_t size, uint8_t out[kHeaderSize]);
// Reads 16 wire bytes; performs no checks.
MessageHeader decodeHeader(const uint8_t in[kHeaderSize]);
// 0 when `header` may be followed by its payload under a limit of `maxPayload` bytes;
// -EMSGSIZE when its size passes the limit, -EBADMSG when it is not a multiple of 4.
status_t checkHeader(const MessageHeader& header, size_t maxPayload);

}  // namespace zorlek
