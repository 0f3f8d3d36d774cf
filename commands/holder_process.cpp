// SPDX-License-Identifier: Apache-2.0
#include "commands/holder_process.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "commands/limits.h"
#include "commands/process_info.h"
#include "platform/base/unique_fd.h"

namespace zorlek {
namespace {

// The decimal number at the start of `text` (after blanks); -1 when there is none.
int64_t numberAt(std::string_view text) {
    size_t at = text.find_first_not_of(" \t");
    if (at == std::string_view::npos || text[at] < '0' || text[at] > '9') return -1;
    int64_t value = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        if (value > (INT64_MAX - 9) / 10) return -1;
        value = value * 10 + (text[at] - '0');
    }
    return value;
}

// The rest of the line of `text` that starts with `key`; empty when none does.
std::string_view lineAfter(std::string_view text, std::string_view key) {
    while (!text.empty()) {
        std::string_view line = takePiece(&text, '\n');
        if (line.starts_with(key)) return line.substr(key.size());
    }
    return {};
}

int64_t nowMs(clockid_t clock) {
    timespec now{};
    ::clock_gettime(clock, &now);
    return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

// The pid of the process listening on the registry's socket, as this namespace numbers
// it: 0 when it is not seen here, -1 when the socket cannot be reached.
int32_t listenerPid() {
    unique_fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const char* path = registryPath();
    if (!fd || std::strlen(path) >= sizeof address.sun_path) return -1;
    std::strcpy(address.sun_path, path);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return -1;
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return -1;
    return peer.pid;
}

// Whether the registry numbers processes as this namespace does: its listener is seen
// here, under the number it has in its own namespace.
bool sameNumbering() {
    int32_t pid = listenerPid();
    if (pid <= 0) return false;
    char path[64], text[kMaxStatusFileBytes];
    std::snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
    size_t size = readSmallFile(path, text, sizeof text);
    return innermostPidIn(std::string_view(text, size)) == pid;
}

// Whether /proc shows, as `pid`, the process that registered `holder`.
bool isTheHolder(const ServiceHolder& holder) {
    char path[64], text[kMaxStatusFileBytes];
    std::snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(holder.pid));
    if (effectiveUidIn(std::string_view(text, readSmallFile(path, text, sizeof text))) !=
        holder.uid) {
        return false;
    }
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(holder.pid));
    int64_t ticks = startTicksIn(std::string_view(text, readSmallFile(path, text, sizeof text)));
    long perSecond = ::sysconf(_SC_CLK_TCK);
    if (ticks < 0 || perSecond <= 0) return false;
    // The registration's time since boot, as the clocks stand now.
    int64_t registered = holder.sinceMs - (nowMs(CLOCK_REALTIME) - nowMs(CLOCK_BOOTTIME));
    return startedBefore(ticks * 1000 / perSecond, registered, kStartSlackMs);
}

}  // namespace

int64_t startTicksIn(std::string_view stat) {
    size_t close = stat.rfind(')');
    if (close == std::string_view::npos) return -1;
    std::string_view rest = stat.substr(close + 1);
    // Fields 3 (state) to 22 (starttime) follow the command, each after a space.
    for (int field = 3; field < 22; ++field) {
        size_t space = rest.find(' ', 1);
        if (space == std::string_view::npos) return -1;
        rest = rest.substr(space);
    }
    return numberAt(rest);
}

int64_t effectiveUidIn(std::string_view status) {
    std::string_view line = lineAfter(status, "Uid:");
    size_t real = line.find_first_not_of(" \t");
    size_t gap = real == std::string_view::npos ? real : line.find_first_of(" \t", real);
    return gap == std::string_view::npos ? -1 : numberAt(line.substr(gap));
}

int64_t innermostPidIn(std::string_view status) {
    std::string_view line = lineAfter(status, "NSpid:");
    size_t last = line.find_last_of(" \t");
    return last == std::string_view::npos ? -1 : numberAt(line.substr(last));
}

bool startedBefore(int64_t startMs, int64_t registeredMs, int64_t slackMs) {
    return startMs <= registeredMs + slackMs;
}

HolderProcess checkHolderProcess(const ServiceHolder& holder, void (*readProc)(int32_t, void*),
                                 void* context) {
    if (holder.pid <= 0 || !sameNumbering()) return HolderProcess::kElsewhere;
    // Pinned, the pid cannot pass to another process while /proc is read: a pidfd that
    // has not ended after the reads means they were of the process it names.
    unique_fd pinned(static_cast<int>(::syscall(SYS_pidfd_open, holder.pid, 0)));
    if (!pinned && errno != ENOSYS) return HolderProcess::kGone;
    if (!isTheHolder(holder)) return HolderProcess::kGone;
    readProc(holder.pid, context);
    pollfd ended{pinned.get(), POLLIN, 0};
    if (pinned && ::poll(&ended, 1, 0) != 0) return HolderProcess::kGone;
    return isTheHolder(holder) ? HolderProcess::kHere : HolderProcess::kGone;
}

}  // namespace zorlek
