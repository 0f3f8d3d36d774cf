// SPDX-License-Identifier: Apache-2.0
// What the system shows of a process that may be another user's: its command line and the
// systemd unit it runs in (from /proc), and the names of users and groups. All of it is
// text others chose: the caller escapes it before printing.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string_view>

#include "commands/limits.h"
#include "platform/text.h"

namespace zorlek {

// Reads up to `room` bytes of the file at `path` into `buffer`, through an owning
// descriptor, going on after a signal; the count, 0 when it cannot be read.
size_t readSmallFile(const char* path, char* buffer, size_t room);

// The piece of `text` up to the first `end` (all of it when there is none), taken off the
// front of `text` together with that `end`.
std::string_view takePiece(std::string_view* text, char end);

// The command line of process `pid`, its arguments joined by single spaces, decoded as
// UTF-8; at most kMaxCommandLineBytes (commands/limits.h) of it. Empty when it cannot be
// read (gone, hidden, or a kernel thread).
String16 processCommandLine(int32_t pid);

// The systemd unit process `pid` runs in, as unitInCgroups names it from
// /proc/PID/cgroup (the first kMaxCgroupFileBytes of it). Empty when it runs in none or its
// cgroup cannot be read.
String16 processUnit(int32_t pid);

// The unit that a cgroup file's text (/proc/PID/cgroup) names: the last component of the
// unified hierarchy's path (or of systemd's own on a hybrid one) that names a service or
// a scope ("zorlek-echo.service"); under a user's service manager (user@UID.service) it
// is that user's unit, "sshd.service (user 65534)". Empty when the path names none.
String8 unitInCgroups(std::string_view text);

// The name of user `uid` and of group `gid`: from /etc/passwd and /etc/group (the first
// kMaxAccountFileBytes of each), else from the system's databases through the C library,
// which also knows accounts kept elsewhere (a directory, systemd's dynamic users). The
// files come first, as Debian's name service does, at a tenth of its cost for the first
// lookup of a process. Empty when there is none.
String16 userName(uid_t uid);
String16 groupName(gid_t gid);

// The name in the first whole line of `text` whose third field is `id` in decimal, as
// /etc/passwd and /etc/group write their entries ("name:x:id:..."); empty when none is.
std::string_view accountNameIn(std::string_view text, uint32_t id);

// `ms` since the epoch as a UTC time, "2026-12-09T08:51:02Z".
String8 utcTime(int64_t ms);

}  // namespace zorlek
