// SPDX-License-Identifier: Apache-2.0
// What the system shows of a process that may be another user's: its command line and the
// systemd unit it runs in (from /proc), and the names of users and groups. All of it is
// text others chose: the caller escapes it before printing.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "commands/limits.h"
#include "platform/text.h"

namespace zorlek {

// The command line of process `pid`, its arguments joined by single spaces, decoded as
// UTF-8; at most kMaxCommandLineBytes (commands/limits.h) of it. Empty when it cannot be
// read (gone, hidden, or a kernel thread).
String16 processCommandLine(int32_t pid);

// The systemd unit process `pid` runs in: the last component of its cgroup path that
// names a service or a scope ("zorlek-echo.service"). Empty when it runs in none or its
// cgroup cannot be read.
String16 processUnit(int32_t pid);

// The name of user `uid` and of group `gid` in the system's databases; empty when it has
// none.
String16 userName(uid_t uid);
String16 groupName(gid_t gid);

// `ms` since the epoch as a UTC time, "2026-12-09T08:51:02Z".
String8 utcTime(int64_t ms);

}  // namespace zorlek
