// Sending and receiving one whole message on a stream socket, for the side that makes a
// request and then waits for its answer (clients of the registry and of hosted objects).
// Every wait is bounded.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/ipc/parcel.h"
#include "platform/ipc/unique_fd.h"
#include "platform/transport/wire.h"

namespace zorlek {

// Payload bytes a receive reads together with the header before it knows the size; a
// message no larger costs one recvmsg.
constexpr size_t kReceivePrealloc = 4096;

// Sends `header` (its size set to `size`) and `size` payload bytes, with `passFd`
// attached unless it is negative, in one sendmsg when the socket takes them all. When it
// does not, waits for room, each wait bounded by `timeoutMs`. Never raises SIGPIPE.
// Returns 0; -EMSGSIZE when `size` passes kMaxParcelSize (nothing sent); -EPIPE when the
// peer is gone; -ETIMEDOUT when it took no bytes in time. After a failure part of the
// message may have been sent, so the connection must not be used again.
status_t sendMessage(int fd, MessageHeader header, const uint8_t* payload, size_t size, int passFd,
                     int timeoutMs);

// Sends `size` bytes that hold whole messages already framed (several requests at once),
// in one sendmsg when the socket takes them all, with the waits and failures of
// sendMessage.
status_t sendFrames(int fd, const uint8_t* bytes, size_t size, int timeoutMs);

// How receiveMessage waits for the first bytes of the message.
enum class FirstWait {
    // poll() first, then read: an answer is rarely there the moment its request went out.
    kPoll,
    // Block in recvmsg itself, bounded by the socket's receive timeout (setReceiveTimeout):
    // one system call fewer. Only for a socket whose timeout was set; on a non-blocking
    // one it falls back to poll().
    kInReceive,
    // Read at once: the caller has just seen the socket readable.
    kNone,
};

// Sets the socket's own receive timeout (SO_RCVTIMEO) to `timeoutMs`, for receives with
// FirstWait::kInReceive. 0 or -errno.
status_t setReceiveTimeout(int fd, int timeoutMs);

// Receives exactly one message into `header` and `payload` (rewound), waiting at most
// `timeoutMs` for it to arrive (counted from the call). The header's size is checked against
// `maxPayload` before any room is made for the payload. A descriptor arriving with a type that
// carries one goes to `passedFd` (when not null); every other received descriptor is closed.
// Returns 0; -EPIPE when the peer closed (also mid-message); -ETIMEDOUT; -EMSGSIZE for a
// declared size over `maxPayload`; -EBADMSG for a size not a multiple of 4 or bytes
// beyond the message (the peer sent more than one). After a failure `payload` is empty
// and the connection is out of step: it must not be used again.
status_t receiveMessage(int fd, MessageHeader* header, Parcel* payload, unique_fd* passedFd,
                        size_t maxPayload, int timeoutMs, FirstWait first = FirstWait::kPoll);

}  // namespace zorlek
