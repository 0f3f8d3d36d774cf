// SPDX-License-Identifier: Apache-2.0
#include "commands/process_info.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string_view>

#include "platform/base/unique_fd.h"

namespace zorlek {
namespace {

// Reads up to `room` bytes of the file at `path` into `buffer`; the count, 0 when it
// cannot be read.
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
    char buffer[4096];
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
    // The civil date of a count of days since 1970-01-01 in the proleptic Gregorian
    // calendar, without the C library's time zone machinery (which reads files).
    int64_t seconds = ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
    int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
    int64_t inDay = seconds - days * 86400;
    int64_t z = days + 719468;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    int64_t dayOfEra = z - era * 146097;
    int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    int64_t shifted = (5 * dayOfYear + 2) / 153;
    int64_t day = dayOfYear - (153 * shifted + 2) / 5 + 1;
    int64_t month = shifted < 10 ? shifted + 3 : shifted - 9;
    int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    char text[96];
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ",
                  static_cast<long long>(year), static_cast<long long>(month),
                  static_cast<long long>(day), static_cast<long long>(inDay / 3600),
                  static_cast<long long>(inDay / 60 % 60), static_cast<long long>(inDay % 60));
    return String8(text);
}

}  // namespace zorlek
