// SPDX-License-Identifier: Apache-2.0
// The limits of the zorlek tool itself, each with what it bounds and why that number; the
// library's, which bound every wait and message of the tool, are in platform/base/limits.h.
// docs/reliability.md has the same table.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/base/limits.h"

namespace zorlek {

// Names `list` has in flight at once (looked up, descriptor asked, line not yet printed):
// a bound on memory (about 1 MiB), not on descriptors, for the objects of one host share
// one channel. Names that never answer within it cost one call timeout together; room is
// taken only for the names there are.
constexpr size_t kListWindow = 8192;
// What `status` reads of a process's command line: enough for any command a person reads,
// and a hostile one cannot make the tool read or print more.
constexpr size_t kMaxCommandLineBytes = 16 * 1024;
// What `status` reads of /etc/passwd and /etc/group to name a user and a group: a few
// thousand accounts. A name not within it is asked of the C library, which reads the whole
// file and the system's other sources.
constexpr size_t kMaxAccountFileBytes = 256 * 1024;

// How deep arrays and objects nest in the JSON of an argument `invoke` reads: past the
// deepest a typed value may nest (idl/limits.h), so that every value the language allows can
// be written, and the reader's recursion stays a few kilobytes of stack.
constexpr uint32_t kMaxJsonDepth = 64;
// The most JSON `invoke` writes of a reply, in bytes per byte of the reply and of the
// description together. A record repeats its field names for every value in the reply, so a
// description of long names made a small reply print without end (400,000-letter names and
// 2,000 records of 4 bytes: 800 MB). At 64, a value may cost 256 bytes of names, brackets
// and digits for its 4 bytes of reply (an i32 under a name of 230 letters) and the reply
// still prints whole; past it the reply is refused before a byte is written, and --raw
// shows it.
constexpr size_t kInvokeJsonPerInputByte = 64;
// Calls to the tool's objects held while invoke waits for its reply, printed after it: a
// service that calls back many times before it answers cannot grow the tool without bound
// (those past it are counted, not shown).
constexpr size_t kMaxHeldEvents = 256;
// What `status` reads of a process's cgroup file: a unit's path is a few hundred bytes,
// and on a hybrid hierarchy a line for each of a dozen controllers.
constexpr size_t kMaxCgroupFileBytes = 4096;
// The room for one account entry the C library looks up (getpwuid_r, getgrgid_r): a
// group with more members than fit is left without its name.
constexpr size_t kAccountEntryBytes = 4096;
// What `status` reads of /proc/PID/status and /proc/PID/stat: each is under 2 KiB.
constexpr size_t kMaxStatusFileBytes = 4096;
// How much later than its registration a holder's process may seem to have started, in
// ms, for the grain of the kernel's start time (a clock tick) and of the two clocks that
// turn it into a time of day. A process that took the holder's pid later than this after
// the registration is told apart.
constexpr int64_t kStartSlackMs = 50;
// What `names` prints at most, in whole lines: the shell's completion holds all of it, so a
// user who registers many long names cannot make every user's completion slow or large.
// About a thousand names of 60 characters.
constexpr size_t kMaxNamesBytes = 64 * 1024;

// The services one `monitor` or `capture` watches at once: each holds a tap (a socket) and
// its own buffer, and their descriptions are asked together before the watch begins.
constexpr size_t kMaxMonitoredServices = 64;
// What `monitor --payload` and `capture` keep of each request and reply when --snaplen
// does not say: the arguments of most calls, and a record stays small.
constexpr uint32_t kDefaultSnapLength = 256;
// What one read of a tap takes at most, before its records are shown: records of small
// calls by the hundred. A larger record is received straight into its own room.
constexpr size_t kTapReadBuffer = 16 * 1024;
// The largest record a tap may bring: the fixed words, two snaps of the longest length a
// monitor may ask for, and room for the fields a newer host may add after them. A record
// past it is malformed, so a hostile host cannot make the monitor take more memory.
constexpr size_t kMaxCallRecordPayload = 2 * static_cast<size_t>(kMaxSnapLength) + 4096;
}  // namespace zorlek
