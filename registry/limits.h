// SPDX-License-Identifier: Apache-2.0
// Every limit of the registry daemon, each with what it bounds and why that number; the
// defaults of ServerOptions come from here. "Other users" are all but root and the
// registry's own user: each limit on them holds for each such user and for all of them
// together, and reaching one costs only the party that reached it. docs/reliability.md has
// the same table, with what was tried against them. The bounds of the messages themselves
// are the library's (platform/base/limits.h).
#pragma once

#include <cstddef>
#include <cstdint>

namespace zorlek::registry {

// Connections one other user may hold at once; more are refused at the handshake
// (-EUSERS). A process needs one registry connection, so 256 lets a user run hundreds at
// once, and several users at the cap stay far below the registry's descriptor limit.
constexpr size_t kMaxConnectionsPerUser = 256;
// A connection that has not greeted this long after it was accepted is closed, so that
// idle or half-written connections cannot pile up (the call timeout, when it is set).
constexpr int kHandshakeTimeoutMs = 10000;
// Names one other user may hold (under --allow-any-user), and all other users together
// (-EDQUOT beyond): a host serves a handful; 1,024 keeps one user's to about 0.5 MB and
// the total keeps a listing far from a client's bound of 1,000,000 names.
constexpr size_t kMaxNamesPerUser = 1024;
constexpr size_t kMaxNamesOfOthers = 65536;
// Channel ends one connection has not taken yet; a lookup that would send one more is
// refused with -EAGAIN. A client sends at most 256 lookups before reading their answers.
constexpr size_t kMaxUnreadLookups = 256;
// Channels not yet taken by one host, pushed there by one user and by all users; past
// either a lookup is refused with -EAGAIN and the host keeps its names. A host that serves
// takes its channels at once; 64 covers a burst while it is busy, and the total bounds the
// descriptors one paused host can hold in the registry.
constexpr size_t kMaxPendingChannelsPerUser = 64;
constexpr size_t kMaxPendingChannels = 1024;
// Descriptors one other user's lookups may have out untaken (both ends of each channel,
// wherever they wait); its lookups that would make a channel are refused with -EAGAIN
// past it. Descriptors in flight count on the kernel's account of the registry's user.
constexpr size_t kMaxUnreadFdsPerUser = 256;
// Names the waits of one other user may keep at once (each connection keeps one wait, of
// at most one request's names); a wait past it is answered -EDQUOT.
constexpr size_t kMaxWaitingNamesPerUser = 4096;
// Taps the registry hands one host, of which monitors other than root and the host's own
// user take at most half (-EMFILE beyond): each tap costs the host its out queue on every
// call, and its owner can always watch it while others do. The host bounds its taps too
// (kMaxTaps, platform/base/limits.h).
constexpr size_t kMaxTapsPerHost = 16;
// Taps the monitors of one other user may hold in all (-EDQUOT beyond): a monitor watches a
// handful of services.
constexpr size_t kMaxTapsPerUser = 64;
// Bytes one user's connections may hold (answers not read, requests not handled) before
// they are no longer read: 64 listing pages. Root and the registry's own user, whose many
// processes share one budget, get the larger one; all other users together the last.
constexpr size_t kUserBudgetBytes = 4 * 1024 * 1024;
constexpr size_t kTrustedBudgetBytes = 64 * 1024 * 1024;
constexpr size_t kOthersBudgetBytes = 64 * 1024 * 1024;
// What one connection reads at once: a batch of lookups arrives together. The buffer is
// freed while the connection idles, so an idle connection costs its bookkeeping only.
constexpr size_t kConnectionReadBuffer = 16 * 1024;
// Unsent answers past which a connection is not read until they drain: one listing page.
constexpr size_t kConnectionPauseBytes = 64 * 1024;
// Connections accepted per wake-up, so that a flood of them cannot starve the others.
constexpr int kAcceptBatch = 64;
// How long accepting pauses when it fails for want of descriptors or memory: the listener
// stays readable meanwhile, and trying again at once would spin on it.
constexpr int64_t kAcceptPauseMs = 100;
// Descriptors the registry needs besides its connections: standard streams, epoll, the
// stop event, the listener, a new channel's two ends.
constexpr size_t kOwnDescriptors = 16;
// The last descriptors, kept for root, the registry's own user and users that host names
// while others flood: 1/16 of the descriptor limit, and at least this many.
constexpr size_t kMinDescriptorReserve = 32;
// Memory is given back after this many closed connections, or closed connections that
// held kTrimAfterBytes (platform/base/limits.h): their buffers lie scattered over the heap.
constexpr size_t kTrimAfterClosed = 128;
// Log lines about one other user in a second (registrations, removals, refusals, refused
// protocol versions); the rest are counted in one line once the second has ended. Any
// user causes these lines at will.
constexpr uint32_t kLogLinesPerSecond = 200;
// A policy file larger than this is not read, nor more files than this, and lines past
// the count of rules are refused, each with its problem line: the administrator's and the
// packages' files are small, and a mistake cannot make the registry hold much.
constexpr size_t kMaxPolicyFileBytes = 1024 * 1024;
constexpr size_t kMaxPolicyFiles = 1024;
constexpr size_t kMaxPolicyRules = 65536;
// A refusal names at most this many of those a name is granted to, so that its log line
// and the reason its host prints stay one short line.
constexpr size_t kNamedGrantees = 8;
// Room to read one user's entry of the system's database, and a group's: a group lists
// its members, so its room starts larger and grows by four up to the last bound; a group
// larger than that is taken as missing, so that a policy line cannot make the registry
// hold much.
constexpr size_t kUserEntryBytes = 4096;
constexpr size_t kFirstGroupEntryBytes = 16 * 1024;
constexpr size_t kMaxGroupEntryBytes = 4 * 1024 * 1024;
// The descriptor limit assumed where the system cannot say or says there is none: the
// kernel's usual soft limit, so that the reserve kept for root stays a real share.
constexpr size_t kFallbackDescriptorLimit = 1024;

}  // namespace zorlek::registry
