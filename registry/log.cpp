// SPDX-License-Identifier: Apache-2.0
#include "registry/log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "platform/text/text_output.h"

namespace zorlek::registry {

bool isJournalStream(const char* journalStream, int fd) {
    if (journalStream == nullptr) return false;
    uintmax_t device = 0, inode = 0;
    int used = 0;
    if (std::sscanf(journalStream, "%" SCNuMAX ":%" SCNuMAX "%n", &device, &inode, &used) != 2 ||
        journalStream[used] != '\0') {
        return false;
    }
    struct stat info {};
    return ::fstat(fd, &info) == 0 && info.st_dev == device && info.st_ino == inode;
}

void adaptLogToJournal() {
    if (isJournalStream(std::getenv("JOURNAL_STREAM"), STDERR_FILENO)) {
        aerr.leaveOutLinePrefix("zorlek-registry: ");
    }
}

}  // namespace zorlek::registry
