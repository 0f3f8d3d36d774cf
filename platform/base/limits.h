// SPDX-License-Identifier: Apache-2.0
// Every limit of the IPC library, for every program that links it: the messages, the
// registry protocol as a client and a host see it, the client's listing and calls, and a
// hosting process. Each says what it bounds and why that number; docs/reliability.md has
// the same table, with what was tried against them. The registry's own limits are in
// registry/limits.h, the tool's in commands/limits.h.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zorlek {

// --- Messages --------------------------------------------------------------------------

// The bytes of one parcel, request or reply: big enough for any descriptor, name list or
// typed value a service sends in one call, small enough that a peer can make no process
// hold much for one message.
constexpr size_t kMaxParcelSize = 1u << 20;
// The payload a client or host may send the registry: a request holds one name (at most
// 256 units, 520 bytes), or a wait's names; 4 KiB leaves room for fields a newer peer
// appends and bounds what an unread request costs the registry.
constexpr size_t kMaxRegistryRequest = 4096;
// The longest name, in UTF-16 code units: far beyond any reverse-domain name, and short
// enough that 65,536 of them are a few tens of MB.
constexpr size_t kMaxNameUnits = 256;
// One listing page: a peer that does not read holds at most one page at the registry.
constexpr size_t kListPageBytes = 64 * 1024;
// Descriptors one receive keeps in hand: a message carries at most one. A receive takes
// all a peer sent at once (the kernel's most, 253), so that the kernel drops none on the
// receiving thread; those past this many are closed aside at once.
constexpr size_t kMaxFdsSeen = 4;
// Batches of descriptors received ahead of the messages that claim them: a message carries
// at most one, so more than this at once is a peer not speaking the protocol.
constexpr size_t kMaxFdBatches = 8;
// Senders whose bytes wait unparsed at once on one socket: only a socket shared by many
// processes writing in turn comes near it.
constexpr size_t kMaxCredentialBatches = 64;
// A large payload's first room when it is received straight into its parcel; it doubles
// as bytes arrive, so a peer that declares 1 MiB and sends nothing costs only this.
constexpr size_t kFirstPayloadRoom = 64 * 1024;
// Room an output queue keeps after it empties; more is given back, so that one burst does
// not hold memory for the life of a connection.
constexpr size_t kKeptSendRoom = 64 * 1024;
// Bytes waiting to be sent to a peer past which a message of a type not known here goes
// unanswered (for clients and servers alike): a peer that reads gets every answer, and
// one that floods such messages and never reads makes the other side hold no more than
// this (and whatever it was sending anyway) on their account.
constexpr size_t kUnknownAnswerRoom = 4 * 1024;

// Threads that close descriptors a peer chose (fd_closer.h): one usually does; another
// starts only while every one is in a close that has not returned, so that a close a peer
// can stall (a file on a FUSE mount whose daemon never answers) holds its thread and no
// other. Past this many stalled at once, the rest wait, counted against the descriptor
// reserve.
constexpr size_t kMaxCloserThreads = 8;
// A closer thread's stack: it calls close(2) and little else.
constexpr size_t kCloserStackBytes = 64 * 1024;
// Descriptors queued for the closers per block of their queue: a block is allocated per
// this many, so that queueing one rarely allocates and never moves the others.
constexpr size_t kCloseQueueBlock = 64;
// What one receive takes from a socket being emptied before its close (scattered over one
// small buffer, as the bytes are thrown away): the most a peer can have queued takes a
// few receives.
constexpr size_t kEmptyingScratchBytes = 4096;
constexpr size_t kEmptyingScatter = 16;

// The longest snap of a request or reply a monitor may ask for and a call record may carry
// (MSG_MONITOR, MSG_CALL_RECORD): enough for every typed call's arguments, and a record
// stays far below a parcel.
constexpr int32_t kMaxSnapLength = 65536;

// --- Waits ---------------------------------------------------------------------------

// Every wait for a peer when ZORLEK_CALL_TIMEOUT_MS does not set another: long enough for
// a loaded machine, short enough that a person waits for nothing.
constexpr int kDefaultCallTimeoutMs = 10000;
// Reconnecting to a registry that is not there yet or went away (hosts, `zorlek wait`):
// the first pause, doubling to the last, so that services are back within a second of a
// new registry without trying it hundreds of times a second.
constexpr int kFirstReconnectPauseMs = 10;
constexpr int kMaxReconnectPauseMs = 250;

// --- The client ------------------------------------------------------------------------

// Names and page bytes one listing may take: a registry that sends more is broken, and no
// registry can make a client hold without end (other users' names are bounded far below).
constexpr size_t kMaxListedNames = 1000000;
constexpr size_t kMaxListedBytes = 128 * 1024 * 1024;
// Lookups sent in one write before their answers are read: the registry answers them all
// without waiting on anyone, and their answers fit its queue for one connection.
constexpr size_t kLookupBatch = 256;
// Replies taken in ahead of their turn by calls made many at once: past it only the oldest
// call's channel is read, and a reply that may be asked again is dropped and asked again
// at its turn, so that hosts cannot make a listing hold more than this.
constexpr size_t kHeldReplyBytes = 4 * 1024 * 1024;
// A channel's and a registry connection's read buffer: a reply read ahead of the one
// awaited goes through it; replies as large as a parcel go straight into their own.
constexpr size_t kClientReadBuffer = 16 * 1024;
// Calls a channel has given up on (or settled out of turn) kept as empty entries ahead of
// the oldest one waiting, before they are cut away: a few calls never move the others.
constexpr size_t kSettledCallsKept = 64;
// Calls in one block of a CallPipeline's ring: a pipeline of few calls takes little room.
constexpr size_t kPipelineBlockSlots = 64;
// Room a taken reply's parcel keeps for the next reply of its pipeline slot, and a
// channel's parcels between replies: a larger one is given back, so that one large reply
// does not hold its room for the life of the pipeline.
constexpr size_t kKeptReplyRoom = 16 * 1024;

// --- A hosting process ---------------------------------------------------------------

// Channels served at once, in all and from one calling user other than root and the
// host's own (never more than half of all): a channel is one client process, so 4,096
// serves a busy machine, and one user cannot take it all. The descriptor limit less a
// reserve bounds them further.
constexpr size_t kMaxChannels = 4096;
constexpr size_t kMaxChannelsPerUser = 256;
// Descriptors a host keeps for everything but channels: its registry connection, its loop
// and whatever the service itself opens.
constexpr size_t kHostReservedDescriptors = 64;
// Of all channels, the share kept for root and the host's own user, whom all other users
// together never take (one channel in this many, at least kHostKeptChannelsMin): the
// host's owner can always reach it while others flood.
constexpr size_t kHostKeptChannelsShare = 8;
constexpr size_t kHostKeptChannelsMin = 16;
// Bytes one calling user's channels may hold (replies not read, requests still arriving),
// and all users but root and the host's own together: several 1 MiB calls at once each.
constexpr size_t kHostUserBudgetBytes = 16 * 1024 * 1024;
constexpr size_t kHostOthersBudgetBytes = 32 * 1024 * 1024;
// Replies a channel's client has not read, past which the channel is not read: one batch
// of replies, and one large reply.
constexpr size_t kChannelPauseBytes = 64 * 1024;
// What a channel reads into its buffer at once; larger requests go straight into a parcel.
constexpr size_t kChannelReadBuffer = 16 * 1024;
// Asking again for a name refused after a registry restart: whoever took it may let go at
// any time, and the pause keeps a refused host from flooding the registry.
constexpr int kFirstRetryPauseMs = 250;
constexpr int kMaxRetryPauseMs = 5000;
// Memory is given back to the system after this many closed channels, or closed channels
// that held this much, and this long after: their buffers lie scattered over the heap.
constexpr size_t kHostTrimAfterClosed = 64;
constexpr size_t kTrimAfterBytes = 1024 * 1024;
constexpr int kTrimDelayMs = 100;
// Taps one host keeps at once (a newer one past it is closed): each costs every call a
// record written to it. The registry hands a host no more (registry/limits.h).
constexpr size_t kMaxTaps = 16;
// Records waiting to be sent on one tap; a record that does not fit is dropped and
// counted, so that a monitor that does not read costs the host this much and its calls
// nothing.
constexpr size_t kTapQueueBytes = 256 * 1024;
// How long a tap holds records before it sends them together: a monitor then costs a busy
// host one send, and itself one wake-up, per this much time rather than per call. Measured:
// at 1 ms a reading monitor slowed calls on one processor by 1.25-1.29 times, at 10 ms by
// 1.05-1.13 (docs/performance.md).
constexpr int kTapBatchMs = 10;
// Records held on a tap that are sent at once, before the batch's time is up: so that a
// monitor that keeps up sees no drops from a host busier than kTapQueueBytes a batch.
constexpr size_t kTapSendBytes = 64 * 1024;
// Events taken per turn of a loop; more wait for the next turn, so that one burst does
// not starve the timers.
constexpr int kEventBatch = 64;

// --- Objects that travel over a channel ---------------------------------------------------

// Object references one parcel may carry: a call passes a callback or two, a reply a few
// objects; the table of their places rides with the parcel within its 1 MiB.
constexpr size_t kMaxObjectsPerParcel = 64;
// Objects one end of a channel may hold of the other's at once (references it was given
// and has not released), counted on both ends: past it a send of one more new object fails
// with -EDQUOT, and a peer that passes more than this is breaking the protocol. A subscriber
// holds one or two; this bounds what one peer makes the other keep alive.
constexpr size_t kMaxObjectsPerChannel = 1024;
// Handles from this one on name objects one end passed over its channel; those below name
// the objects a host registered (the handles the registry hands out).
constexpr uint32_t kFirstPassedHandle = 0x40000000;
// Calls back nested in one thread's wait: a service calling its caller's object, which
// calls the service again, and so on. Deeper, the call fails with -EDEADLK at once.
constexpr int kMaxCallDepth = 8;
// Calls a host or client makes to an object passed to it that wait unsent because its
// receiver does not read: past this many bytes the next call fails at once with -ENOBUFS,
// for that receiver alone. Ticks of a few hundred bytes for several seconds.
constexpr size_t kCallbackQueueBytes = 256 * 1024;

// --- Polling before sleeping (a client waiting for its reply, a host after an answer) ---

// The longest poll: however costly a wake-up is measured, no end polls longer, so a peer
// that answers late costs at most this of a processor per wait.
constexpr int kPollCapUs = 100;
// A budget below this is not worth a poll's first receive.
constexpr int kPollFloorUs = 1;
// Waits that slept, measured, before a channel polls at all.
constexpr int kPollLearningWaits = 4;
// A sleeping wait longer than this measured the peer's pace, not a wake-up.
constexpr int kPollLongestSampleUs = 400;
// Credit on a (re)start; a hit adds one up to the most, a miss takes two, and polling
// stops below zero: it needs two hits in three to go on.
constexpr int kPollStartCredit = 3;
constexpr int kPollMostCredit = 8;
// The first pause once polling stopped, doubling to the longest, after which it is tried
// again: a channel where it does not pay costs a few polls every few seconds.
constexpr int kPollFirstPauseMs = 50;
constexpr int kPollLongestPauseMs = 5000;
// A step of a poll that took this long lost its processor to another task: polling there
// only takes the processor from whoever would answer.
constexpr int kPollLostCpuUs = 10;

}  // namespace zorlek
