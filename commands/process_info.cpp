// SPDX-License-Identifier: Apache-2.0
#include "commands/process_info.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string_view>

namespace zorlek {
namespace {

// Reads up to `room` bytes of the file at `path` into `buffer`; the count, 0 when it
// cannot be read.
size_t readSmallFile(const char* path, char* buffer, size_t room) {
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    size_t used = 0;
    while (used < room) {
        ssize_t n = ::read(fd, buffer + used, room - used);
        if (n <= 0) break;
        used += static_cast<size_t>(n);
    }
    ::close(fd);
    return used;
}

bool endsWith(std::string_view text, std::string_view end) {
    return text.size() > end.size() && text.substr(text.size() - end.size()) == end;
}

}  // namespace

String16 processCommandLine(int32_t pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/cmdline", static_cast<int>(pid));
    static char bytes[kMaxCommandLineBytes];
    size_t size = readSmallFile(path, bytes, sizeof bytes);
    // Arguments end with a NUL each; the last one's is not shown.
    while (size > 0 && bytes[size - 1] == '\0') --size;
    for (size_t i = 0; i < size; ++i) {
        if (bytes[i] == '\0') bytes[i] = ' ';
    }
    return String16(bytes, size);
}

String16 processUnit(int32_t pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/cgroup", static_cast<int>(pid));
    char bytes[4096];
    std::string_view text(bytes, readSmallFile(path, bytes, sizeof bytes));
    // The unified hierarchy's line ("0::PATH"), or the one systemd keeps on a hybrid one.
    std::string_view cgroup;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (line.starts_with("0::")) cgroup = line.substr(3);
        if (cgroup.empty() && line.find(":name=systemd:") != std::string_view::npos) {
            cgroup = line.substr(line.find(":name=systemd:") + 14);
        }
    }
    std::string_view unit;
    while (!cgroup.empty()) {
        size_t slash = cgroup.find('/');
        std::string_view part = cgroup.substr(0, slash);
        cgroup = slash == std::string_view::npos ? std::string_view() : cgroup.substr(slash + 1);
        if (endsWith(part, ".service") || endsWith(part, ".scope")) unit = part;
    }
    return String16(unit.data(), unit.size());
}

String16 userName(uid_t uid) {
    passwd entry{};
    passwd* found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr) {
        return String16();
    }
    return String16(found->pw_name);
}

String16 groupName(gid_t gid) {
    group entry{};
    group* found = nullptr;
    char buffer[4096];
    if (::getgrgid_r(gid, &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr) {
        return String16();
    }
    return String16(found->gr_name);
}

String8 utcTime(int64_t ms) {
    time_t seconds = static_cast<time_t>(ms / 1000);
    tm parts{};
    char text[32] = "";
    if (::gmtime_r(&seconds, &parts) != nullptr) {
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    }
    return String8(text);
}

}  // namespace zorlek
