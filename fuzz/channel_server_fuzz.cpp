// SPDX-License-Identifier: Apache-2.0
// A host's dispatch as its clients meet it: the real ChannelServer and ObjectTable of a
// hosting process, in this process, serving channels that are real socket pairs made as
// the registry makes them (descriptors refused where the kernel can, the caller's
// credentials asked for before either end leaves, or, as the input says, only once the
// host adopts the channel) for up to four clients the input plays as attackers: calls
// whole or in pieces, to objects given and never given, one-way, in batches, with serials
// of any value, payloads up to past the 1 MiB limit, frames that break the protocol,
// replies sent to the host, descriptors and claimed credentials attached, and clients that
// leave mid-message or mid-batch or never read. The host's loop turns when the input says.
//
// The objects it serves are those of fuzz/served_objects.h: one that echoes, one that
// withholds its replies, one that fails, one that answers large replies, and one never
// published.
//
// What must hold, besides no sanitizer report: a reply comes only for a two-way call that
// was not withheld, once, in order, with the call's serial and code, and as its object
// answers it: served as the sender the kernel named with the call's first byte, refused
// (-EACCES) when the kernel named none, failed for an object never given; a channel whose
// framing breaks is closed, while a channel that keeps to the protocol stays, takes all its
// client sends and has every call answered once its client has read everything (each
// unless a channel that draws on the same budget holds a large message its client left
// unfinished, so that the host reads no further); a channel whose client leaves a large
// message unfinished is closed by its deadline (and one that keeps to the protocol may be,
// once a call timeout has passed since its client began sending a large message); a
// channel past the host's bounds is closed unserved; what the host holds stays within its
// bounds; the host's thread never waits on a descriptor a client chose, and none stays open
// or leaks.
//
// Input: byte 0 sets the scene (bit 0: the kernel refuses descriptors). Then steps: a byte
// whose low 2 bits name the channel and whose high 6 bits the step, then the step's own
// bytes. A channel's first step reads its setting first (bits 0-1: the caller's user;
// bit 2: credentials asked for only when the host adopts it; bit 3: the host adopts it only
// at an adopting step).
//
// A large message its client leaves unfinished ends its channel once the call timeout has
// passed since the host began it: the run's call timeout is short (ZORLEK_CALL_TIMEOUT_MS,
// 100 ms unless set), so that each scene can wait for those deadlines.
//
// The scene is in channel_server_scene.h.

#include <cstdlib>

#include "fuzz/attached_descriptors.h"
#include "fuzz/channel_server_scene.h"
#include "fuzz/input.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ::setenv("ZORLEK_CALL_TIMEOUT_MS", "100", 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zorlek;
    fuzz::NothingLeftOpen nothingLeftOpen;
    fuzz::FuzzInput input(data, size);
    fuzz::HostScene scene(input, input.byte());
    for (int steps = 0; !input.empty() && steps < 1024; ++steps) scene.step();
    scene.finish();
    return 0;
}
