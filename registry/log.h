// SPDX-License-Identifier: Apache-2.0
// Where the registry's log lines go: standard error, one line per event, each starting
// with the program's name, unless a service manager's journal reads them and names the
// program itself.
#pragma once

namespace zorlek::registry {

// True when JOURNAL_STREAM ("DEVICE:INODE", as systemd sets it) names the file open on
// `fd`: the journal reads it and adds the program's name to every line.
bool isJournalStream(const char* journalStream, int fd);

// Under the journal, the registry's lines leave out their "zorlek-registry: " prefix, so
// that none shows its name twice; elsewhere they keep it.
void adaptLogToJournal();

}  // namespace zorlek::registry
