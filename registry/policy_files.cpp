// SPDX-License-Identifier: Apache-2.0
// Reading the policy's folders and files: only what root alone may change is read, and a
// reload keeps, for a folder or file that cannot be read or trusted now, what it said at
// its last good read.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/base/unique_fd.h"
#include "registry/policy.h"

namespace zorlek::registry {
namespace {

// What a folder or file's metadata lets others do to it: why it must not be trusted, or
// null when only root (or the registry's own user) may change it.
const char* untrusted(const struct stat& info) {
    if ((info.st_mode & S_IWOTH) != 0) return "writable by every user";
    if ((info.st_mode & S_IWGRP) != 0) return "writable by its group";
    // Whoever owns it may rewrite it, or make it writable to others.
    if (info.st_uid != 0 && info.st_uid != ::geteuid()) return "not owned by root";
    return nullptr;
}

enum class Outcome {
    kRead,     // read (a masked file: read as empty)
    kGone,     // not there: root removed it
    kRefused,  // there, but not to be read or not readable: `why` says which
};

// Reads the `*.conf` names of `folder` into `names`.
Outcome listFolder(const String8& folder, std::vector<std::string>* names, String8* why) {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
        if (errno == ENOENT) return Outcome::kGone;
        why->append(std::strerror(errno));
        return Outcome::kRefused;
    }
    struct stat info {};
    const char* problem =
        ::fstat(::dirfd(dir), &info) != 0 ? std::strerror(errno) : untrusted(info);
    if (problem != nullptr) {
        why->append(problem).append("; not read");
    } else {
        while (dirent* entry = ::readdir(dir)) {
            std::string_view name = entry->d_name;
            if (name.size() <= 5 || name[0] == '.' || !name.ends_with(".conf")) continue;
            names->emplace_back(name);
        }
    }
    ::closedir(dir);
    return problem != nullptr ? Outcome::kRefused : Outcome::kRead;
}

// Reads the policy file at `path` into `text`.
Outcome readPolicyFile(const char* path, std::string* text, String8* why) {
    int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0) {
        int error = errno;
        if (fd >= 0) ::close(fd);
        // Gone from its folder; a link whose file is gone is there, and unreadable.
        if (error == ENOENT && ::lstat(path, &info) != 0 && errno == ENOENT) return Outcome::kGone;
        why->append(std::strerror(error));
        return Outcome::kRefused;
    }
    unique_fd file(fd);
    // A link to /dev/null masks a package's file, as in systemd's folders.
    if (S_ISCHR(info.st_mode) && info.st_rdev == makedev(1, 3)) return Outcome::kRead;
    const char* problem = nullptr;
    if (!S_ISREG(info.st_mode)) {
        problem = "not a regular file";
    } else if ((problem = untrusted(info)) != nullptr) {
        // Said of the file it leads to: a link is only as safe as that file.
        struct stat link {};
        if (::lstat(path, &link) == 0 && S_ISLNK(link.st_mode)) why->append("a link to a file ");
    } else if (static_cast<size_t>(info.st_size) > kMaxPolicyFileBytes) {
        static const std::string tooLarge =
            "larger than " + std::to_string(kMaxPolicyFileBytes / 1024 / 1024) + " MiB";
        problem = tooLarge.c_str();
    }
    if (problem != nullptr) {
        why->append(problem).append("; not read");
        return Outcome::kRefused;
    }
    text->resize(static_cast<size_t>(info.st_size));
    size_t got = 0;
    while (got < text->size()) {
        ssize_t n = ::read(fd, text->data() + got, text->size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            why->append(std::strerror(errno));
            return Outcome::kRefused;
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    text->resize(got);
    return Outcome::kRead;
}

}  // namespace

bool Policy::keepRules(const Policy& from, size_t first, size_t last) {
    size_t room = kMaxPolicyRules - rules_.size();
    size_t taken = last - first < room ? last - first : room;
    rules_.insert(rules_.end(), from.rules_.begin() + first, from.rules_.begin() + first + taken);
    return taken == last - first;
}

namespace {

const char* const kKeeping = "; keeping its last good read";

// "more than N WHAT", from the limit itself.
String8 moreThan(size_t limit, const char* what) {
    String8 text("more than ");
    text.append(std::to_string(limit).c_str()).append(" ").append(what);
    return text;
}

}  // namespace

const std::vector<std::string>* Policy::lastListing(const String8& folder) const {
    auto found = folders_.find(folder.c_str());
    return found != folders_.end() ? &found->second : nullptr;
}

const std::pair<size_t, size_t>* Policy::lastRules(const String8& file) const {
    auto found = files_.find(file.c_str());
    return found != files_.end() ? &found->second : nullptr;
}

Policy::Sources Policy::listFolders(const std::vector<String8>& folders,
                                    std::vector<String8>* problems, const Policy* before) {
    Sources files;
    for (const String8& folder : folders) {
        std::vector<std::string> names;
        String8 why;
        Outcome outcome = listFolder(folder, &names, &why);
        if (outcome == Outcome::kGone) continue;
        bool fresh = outcome == Outcome::kRead;
        if (!fresh) {
            const std::vector<std::string>* held = before ? before->lastListing(folder) : nullptr;
            if (held != nullptr) {
                names = *held;
                why.append(kKeeping);
            }
            reportProblem(problems, folder.c_str(), 0, why);
        }
        for (const std::string& name : names) {
            String8 path(folder);
            path.append("/").append(name.c_str());
            files[name] = {std::move(path), fresh};
        }
        if (fresh || !names.empty()) folders_[folder.c_str()] = std::move(names);
    }
    return files;
}

void Policy::readFiles(const Sources& files, const Accounts& accounts,
                       std::vector<String8>* problems, const Policy* before) {
    size_t count = 0;
    for (const auto& [name, source] : files) {
        const auto& [path, fresh] = source;
        if (++count > kMaxPolicyFiles) {
            reportProblem(problems, path.c_str(), 0,
                          moreThan(kMaxPolicyFiles, "policy files; not read"));
            break;
        }
        size_t first = rules_.size();
        const std::pair<size_t, size_t>* kept = before ? before->lastRules(path) : nullptr;
        if (fresh) {
            std::string text;
            String8 why;
            Outcome outcome = readPolicyFile(path.c_str(), &text, &why);
            if (outcome == Outcome::kGone) continue;
            if (outcome == Outcome::kRead) {
                addText(path.c_str(), text, accounts, problems);
                files_[path.c_str()] = {first, rules_.size()};
                continue;
            }
            if (kept != nullptr) why.append(kKeeping);
            reportProblem(problems, path.c_str(), 0, why);
        }
        if (kept == nullptr) continue;
        if (!keepRules(*before, kept->first, kept->second)) {
            reportProblem(problems, path.c_str(), 0,
                          moreThan(kMaxPolicyRules, "lines grant names; not all kept"));
        }
        files_[path.c_str()] = {first, rules_.size()};
    }
}

Policy Policy::load(const std::vector<String8>& folders, const Accounts& accounts,
                    std::vector<String8>* problems, const Policy* before) {
    Policy policy;
    // Each file name, from the last folder that has it: its path, and whether that folder
    // was read now (else the file is not read either: it keeps its last good read).
    Sources files = policy.listFolders(folders, problems, before);
    policy.readFiles(files, accounts, problems, before);
    return policy;
}

std::vector<String8> defaultPolicyFolders() {
    std::vector<String8> folders;
    // The program lies in SBINDIR; the packages' folder is ZORLEK_POLICY_FROM_SBINDIR from
    // there, so that an install to any prefix reads its own.
    char exe[4096];
    ssize_t length = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (length > 0) {
        std::string folder(exe, static_cast<size_t>(length));
        folder.erase(folder.rfind('/'));
        std::string_view relative = ZORLEK_POLICY_FROM_SBINDIR;
        while (relative.starts_with("../") && folder.rfind('/') != std::string::npos) {
            folder.erase(folder.rfind('/'));
            relative.remove_prefix(3);
        }
        folder.append("/").append(relative);
        folders.emplace_back(folder.c_str());
    } else {
        folders.emplace_back(ZORLEK_POLICY_PACKAGE_DIR);
    }
    folders.emplace_back("/etc/zorlek/registry.d");
    return folders;
}

}  // namespace zorlek::registry
