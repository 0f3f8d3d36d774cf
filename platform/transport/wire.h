// SPDX-License-Identifier: Apache-2.0
// The framing shared by every connection: the registry's, and each channel between a
// client and a hosting process.
//
// A message is a 24-byte header followed by `size` payload bytes. The header is six
// little-endian 32-bit words: type, code, value (flags in a request, status in an answer),
// size, serial and object. A payload is a parcel's bytes, so its size is a multiple of 4
// and at most kMaxParcelSize; anything else is malformed.
//
// Descriptors (SCM_RIGHTS) travel only with the types typeCarriesFd() names, at most one a
// message, and a message that carries one is sent alone in its sendmsg. A receiver gives
// a descriptor to the last message that begins in the bytes the descriptor came with
// (the kernel ends a receive after the bytes that carried descriptors, and joins bytes
// sent earlier in front of them). A message whose descriptor the kernel would not carry
// comes without it, its value the failure (-ETOOMANYREFS, -ENOBUFS, -ENOMEM). Every reader
// of this framing is MessageReader.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/base/limits.h"
#include "platform/base/status.h"

namespace zorlek {

constexpr size_t kHeaderSize = 24;

// Message types.
enum MessageType : uint32_t {
    // Opening handshake: the first message on a registry connection. From the client:
    // code kProtocolMagic, value its major version, object its feature bits. From the
    // registry: code kProtocolMagic, value 0 or the refusal (-EUSERS, -EMFILE,
    // -EPROTONOSUPPORT for a peer of another major version), object the registry's major
    // version, serial its feature bits.
    MSG_HELLO = 1,
    // Host to registry: payload is the name as a UTF-16 string; object is the host's
    // handle for the object (never 0), which the registry hands to clients.
    MSG_REGISTER = 2,
    // Registry to host: value is 0 or -EINVAL / -EEXIST / -EPERM / -EDQUOT; an -EPERM may
    // carry a payload of one UTF-16 string saying who may hold the name.
    MSG_REGISTER_REPLY = 3,
    // Client to registry: payload is the name as a UTF-16 string.
    MSG_LOOKUP = 4,
    // Registry to client: value 0, object the handle, and code (high word) and serial
    // (low word) the host's number; the client's end of a new channel to that host is
    // attached when this connection has no channel to it yet; to a client that announced
    // PEER_OBJECTS, the payload is the host's feature bits (an int32). Or a negative errno
    // (-ENOENT, -EAGAIN, ...) with nothing else.
    MSG_LOOKUP_REPLY = 5,
    // Client to registry: payload is a UTF-16 string; the listing starts after that name
    // (a null string starts at the beginning).
    MSG_LIST = 6,
    // Registry to client: payload is an int32 count and that many UTF-16 names in
    // code-unit order; value 1 when more names follow (ask again after the last one),
    // else 0. Each page stays within kListPageBytes.
    MSG_LIST_REPLY = 7,
    // Registry to host: the host's end of a new channel is attached; payload is the
    // client's pid, uid and gid as three int32s, as the kernel gave them to the registry,
    // and, to a host that announced PEER_OBJECTS, the client's feature bits (an int32).
    MSG_CHANNEL = 8,
    // Client to registry: the client has let go of its channel to the host numbered by
    // code (high word) and serial (low word); the next lookup of that host brings a new
    // one. Not answered.
    MSG_RELEASE = 9,
    // Client to registry: wait until every name of the payload (an int32 count, then that
    // many UTF-16 names) is registered at one moment, or with value's WATCH_GONE until
    // none is. Answered by one MSG_WATCH_REPLY when that holds: at once, or when a
    // registration or a removal makes it hold; with WATCH_NOW always at once, and nothing
    // is kept. serial is the client's number for the wait, repeated in the answer. A
    // connection keeps one wait at a time; every other request is answered in order.
    MSG_WATCH = 10,
    // Registry to client: serial repeats the wait's; value is 0 when it holds, -EAGAIN
    // (WATCH_NOW only) when it does not, with code the index of the first name not in the
    // state waited for; -EINVAL with code the index of a name no registry accepts;
    // -EBUSY when this connection keeps a wait already; -EDQUOT past the user's bound.
    MSG_WATCH_REPLY = 11,
    // Client to registry: who holds the name of the payload (a UTF-16 string).
    MSG_STATUS = 12,
    // Registry to client: value 0 or -ENOENT; when 0, the payload is the holder's pid,
    // uid and gid (int32 each, as the kernel gave them to the registry), when the name was
    // registered (milliseconds since the epoch, as two int32 words, low first), and the
    // names the holder's connection holds (an int32 count, then that many UTF-16 names, in
    // code-unit order; the first of them, as many as fit in kListPageBytes).
    MSG_STATUS_REPLY = 13,
    // Anyone to anyone: the answer to a message of a type the receiver does not know;
    // code is that type, serial that message's serial, value -EBADRQC. Never answered.
    MSG_ERROR = 14,
    // Client to host: code is the transaction code, value its flags, serial the call's
    // number on the channel, object the handle; payload the request.
    MSG_TRANSACT = 16,
    // Host to client: serial names the call answered, code repeats its code, value is the
    // status, payload the reply. Replies may come in any order.
    MSG_REPLY = 17,
    // As MSG_TRANSACT and MSG_REPLY, for a parcel that carries object references; sent only
    // to a peer that announced PEER_OBJECTS. The payload is the parcel's bytes, then the
    // byte offset of each reference in it (uint32 each, ascending, 8 bytes apart at least),
    // then the count of references and the parcel's size (uint32 each). A reference is two
    // words: kind and value. Kind 1 is an object of the sender, value its handle on this
    // channel (the receiver makes a proxy); kind 2 an object of the receiver, value the
    // handle the receiver gave it (the receiver reads its own object back). See objects.h.
    MSG_OBJ_TRANSACT = 18,
    MSG_OBJ_REPLY = 19,
    // The sender lets go of the peer's object `object` (a handle from kFirstPassedHandle on):
    // code is how many times it received it. Not answered.
    MSG_OBJ_RELEASE = 20,
    // Client to registry: watch the calls to the host of a name. Payload: the name (a
    // UTF-16 string), then an int32 snaplen (0..kMaxSnapLength), the most bytes of each
    // request and reply the records carry. Answered by one MSG_MONITOR_REPLY.
    MSG_MONITOR = 22,
    // Registry to client: value 0, object the name's handle, and the monitor's end of a new
    // tap (a connected socket pair) attached; or -EPERM (not granted), -ENOENT (no such
    // name), -EINVAL (a bad name or snaplen), -EOPNOTSUPP (the holder cannot be tapped),
    // -EDQUOT / -EMFILE (bounds), with nothing attached.
    MSG_MONITOR_REPLY = 23,
    // Registry to host: the host's end of a new tap attached; payload the monitor's pid,
    // uid and gid as the kernel gave them to the registry, then the snaplen (int32 each).
    // Only the host writes on a tap; the monitor reads and closes.
    MSG_TAP = 24,
    // Host to monitor, on a tap: one call served or made (platform/base/call_record.h).
    MSG_CALL_RECORD = 25,
    // Host to monitor, on a tap: code is the number of records dropped since the last such
    // message, because the monitor did not read them in time. It comes before the next record.
    MSG_RECORDS_DROPPED = 26,
};

// MSG_WATCH's value: wait for the names to go rather than come; answer at once.
constexpr int32_t WATCH_GONE = 1;
constexpr int32_t WATCH_NOW = 2;

constexpr uint32_t kProtocolMagic = 0x5A524C4B;  // "ZRLK"
// Major version 4: one channel per client and host, objects by handle, calls by serial,
// the 24-byte header, and feature bits at the handshake. Peers of the same major version
// always talk, each using only the features both have; peers of another one are refused
// at the handshake. docs/protocol.md has the rules by which the protocol grows.
constexpr int32_t kProtocolVersion = 4;

// Feature bits, announced at the handshake. The registry's:
// it answers MSG_STATUS,
constexpr uint32_t FEATURE_STATUS = 1u << 0;
// and MSG_WATCH.
constexpr uint32_t FEATURE_WATCH = 1u << 1;
// and MSG_MONITOR.
constexpr uint32_t FEATURE_MONITOR = 1u << 2;
// A client's or a host's, in its greeting's object word; the registry keeps each
// connection's and tells each end of a channel the other's bits (a host in MSG_CHANNEL, a
// client in MSG_LOOKUP_REPLY). Its channels carry object references (MSG_OBJ_*) and calls
// both ways:
constexpr uint32_t PEER_OBJECTS = 1u << 0;
// A host that can be tapped (it takes MSG_TAP):
constexpr uint32_t PEER_TAP = 1u << 1;
// What this build's registry does, and what its clients and hosts do.
constexpr uint32_t kRegistryFeatures = FEATURE_STATUS | FEATURE_WATCH | FEATURE_MONITOR;
constexpr uint32_t kPeerFeatures = PEER_OBJECTS | PEER_TAP;
// The bytes that began a handshake before version 3 (a 16-byte header of type, code,
// value and size): a registry recognises them to refuse such a peer at once.
constexpr size_t kOldHeaderSize = 16;

// The bounds on messages (kMaxRegistryRequest, kListPageBytes, kMaxNameUnits, ...) are in
// platform/base/limits.h.

// True for the types of this version. A message of any other type is answered with
// MSG_ERROR, and the connection stays; one of these where it does not belong is malformed.
constexpr bool knownMessageType(uint32_t type) {
    return (type >= MSG_HELLO && type <= MSG_ERROR) ||
           (type >= MSG_TRANSACT && type <= MSG_OBJ_RELEASE) ||
           (type >= MSG_MONITOR && type <= MSG_RECORDS_DROPPED);
}

// True for the message types that carry one file descriptor.
constexpr bool typeCarriesFd(uint32_t type) {
    return type == MSG_LOOKUP_REPLY || type == MSG_CHANNEL || type == MSG_MONITOR_REPLY ||
           type == MSG_TAP;
}

struct MessageHeader {
    uint32_t type = 0;
    uint32_t code = 0;
    int32_t value = 0;
    uint32_t size = 0;
    uint32_t serial = 0;
    uint32_t object = 0;
};

// The MSG_ERROR that answers `message`, of a type the receiver does not know.
inline MessageHeader unknownTypeError(const MessageHeader& message) {
    return {MSG_ERROR, message.type, -EBADRQC, 0, message.serial, 0};
}

// The greeting a client or a host opens a registry connection with.
constexpr MessageHeader helloRequest() {
    return {MSG_HELLO, kProtocolMagic, kProtocolVersion, 0, 0, kPeerFeatures};
}
// What the registry's answer to the greeting says: 0 when it takes the connection (its
// feature bits are then `answer.serial`); its refusal (-EUSERS, -EMFILE, ...);
// -EPROTONOSUPPORT from a registry of another major version; -EPROTO when `answer` is no
// answer to a greeting.
status_t helloAnswerStatus(const MessageHeader& answer);

// A host's number as two header words (code the high one, serial the low one).
inline uint64_t hostOf(const MessageHeader& header) {
    return uint64_t{header.code} << 32 | header.serial;
}
inline void setHost(MessageHeader* header, uint64_t host) {
    header->code = static_cast<uint32_t>(host >> 32);
    header->serial = static_cast<uint32_t>(host);
}

// Writes `header` as its 24 wire bytes.
void encodeHeader(const MessageHeader& header, uint8_t out[kHeaderSize]);
// Writes the 24 wire bytes that start a message of `header` with a `size`-byte payload;
// -EMSGSIZE (nothing written) when `size` passes kMaxParcelSize.
status_t encodeFrameStart(MessageHeader header, size_t size, uint8_t out[kHeaderSize]);
// Reads 24 wire bytes; performs no checks.
MessageHeader decodeHeader(const uint8_t in[kHeaderSize]);
// 0 when `header` may be followed by its payload under a limit of `maxPayload` bytes;
// -EMSGSIZE when its size passes the limit, -EBADMSG when it is not a multiple of 4.
status_t checkHeader(const MessageHeader& header, size_t maxPayload);
// The protocol version of a handshake begun by a peer older than version 3, read from
// its first kOldHeaderSize bytes; 0 when they are not such a handshake.
int32_t oldHelloVersion(const uint8_t in[kOldHeaderSize]);

}  // namespace zorlek
