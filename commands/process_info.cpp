// SPDX-License-Identifier: Apache-2.0
#include "commands/process_info.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string_view>

#include "platform/base/unique_fd.h"

namespace zorlek {
size_t readSmallFile(const char* path, char* buffer, size_t room) {
    unique_fd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd) return 0;
    size_t used = 0;
    while (used < room) {
        ssize_t n = ::read(fd.get(), buffer + used, room - used);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        used += static_cast<size_t>(n);
    }
    return used;
}

std::string_view takePiece(std::string_view* text, char end) {
    size_t at = text->find(end);
    std::string_view piece = text->substr(0, at);
    *text = at == std::string_view::npos ? std::string_view() : text->substr(at + 1);
    return piece;
}

namespace {

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

namespace {

// The last unit on a cgroup path, and the user whose service manager it runs under:
// .../user@UID.service/.../UNIT.
String8 unitOnPath(std::string_view cgroup) {
    std::string_view unit, user;
    while (!cgroup.empty()) {
        std::string_view part = takePiece(&cgroup, '/');
        if (!endsWith(part, ".service") && !endsWith(part, ".scope")) continue;
        std::string_view id = part.substr(0, part.size() - 8);
        if (part.starts_with("user@") && endsWith(part, ".service") && id.size() > 5 &&
            id.find_first_not_of("0123456789", 5) == std::string_view::npos && unit.empty()) {
            user = id.substr(5);
            continue;
        }
        unit = part;
    }
    String8 named;
    named.append(unit.data(), unit.size());
    if (!unit.empty() && !user.empty()) {
        named.append(" (user ");
        named.append(user.data(), user.size());
        named.append(")");
    }
    return named;
}

}  // namespace

String8 unitInCgroups(std::string_view text) {
    // The unified hierarchy's line ("0::PATH"), or the one systemd keeps on a hybrid one.
    std::string_view unified, systemd;
    while (!text.empty()) {
        std::string_view line = takePiece(&text, '\n');
        size_t named = line.find(":name=systemd:");
        if (line.starts_with("0::")) unified = line.substr(3);
        if (named != std::string_view::npos) systemd = line.substr(named + 14);
    }
    String8 unit = unitOnPath(unified);
    return unit.size() > 0 ? unit : unitOnPath(systemd);
}

String16 processUnit(int32_t pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/cgroup", static_cast<int>(pid));
    char bytes[kMaxCgroupFileBytes];
    String8 unit = unitInCgroups(std::string_view(bytes, readSmallFile(path, bytes, sizeof bytes)));
    return String16(unit.c_str(), unit.size());
}

std::string_view accountNameIn(std::string_view text, uint32_t id) {
    char digits[16];
    int length = std::snprintf(digits, sizeof digits, "%u", id);
    std::string_view wanted(digits, static_cast<size_t>(length));
    while (!text.empty()) {
        size_t end = text.find('\n');
        // A line cut off by the end of what was read is no entry.
        if (end == std::string_view::npos) break;
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end + 1);
        size_t first = line.find(':');
        size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
        if (first == 0 || second == std::string_view::npos) continue;
        std::string_view rest = line.substr(second + 1);
        if (rest.substr(0, rest.find(':')) == wanted) return line.substr(0, first);
    }
    return {};
}

namespace {

// The name of `id` in the account file at `path`, empty when it has none.
String16 nameInFile(const char* path, uint32_t id) {
    static char bytes[kMaxAccountFileBytes];
    size_t size = readSmallFile(path, bytes, sizeof bytes);
    std::string_view name = accountNameIn(std::string_view(bytes, size), id);
    return String16(name.data(), name.size());
}

// The name of `id` from the account file at `path`, else from the C library's lookup
// `get` (getpwuid_r or getgrgid_r) of an `Entry`, whose name `nameOf` gives.
template <typename Entry, typename Id>
String16 accountName(const char* path, Id id, int (*get)(Id, Entry*, char*, size_t, Entry**),
                     char* Entry::*nameOf) {
    String16 named = nameInFile(path, id);
    if (named.size() > 0) return named;
    Entry entry{};
    Entry* found = nullptr;
    char buffer[kAccountEntryBytes];
    if (get(id, &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr) return String16();
    return String16(found->*nameOf);
}

}  // namespace

String16 userName(uid_t uid) {
    return accountName<passwd, uid_t>("/etc/passwd", uid, ::getpwuid_r, &passwd::pw_name);
}

String16 groupName(gid_t gid) {
    return accountName<group, gid_t>("/etc/group", gid, ::getgrgid_r, &group::gr_name);
}

String8 utcTime(int64_t ms) {
    using namespace std::chrono;
    // Years 0 to 9999 only: a date has four digits of year, whatever a registry sends.
    constexpr int64_t kFirst = -62167219200000;  // 0000-01-01T00:00:00Z
    constexpr int64_t kLast = 253402300799999;   // 9999-12-31T23:59:59.999Z
    sys_time<milliseconds> at{milliseconds{ms < kFirst ? kFirst : ms > kLast ? kLast : ms}};
    sys_days day = floor<days>(at);
    year_month_day date{day};
    hh_mm_ss<seconds> time{floor<seconds>(at - day)};
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                  static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    return String8(text);
}

}  // namespace zorlek
