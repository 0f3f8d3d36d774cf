// SPDX-License-Identifier: Apache-2.0
// Descriptors a hostile peer attaches to what it sends, made so that a fuzzer can tell
// afterwards whether the process under test let every one go, and whether it closed one
// where the close could hold up a serving thread: pipe ends and socket pair ends (whose
// other ends stay here as witnesses) and sockets whose last close lingers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/base/unique_fd.h"
#include "tests/support/lingering_socket.h"

namespace zorlek::fuzz {

class AttachedDescriptors {
  public:
    // The last close of a lingering socket waits this long, unless endLingering() came
    // first: a serving thread that closes one stalls for as long, which a target tells
    // from any ordinary step by timing its steps against kStallMs.
    static constexpr int kLingerSeconds = 5;
    static constexpr int64_t kStallMs = 2000;
    // The most made for one input.
    static constexpr size_t kMost = 16;

    // `receiverAlongside`: the receiver runs on another thread, and may close its copy of a
    // lingering socket before this side lets go of its own, which would then be the last:
    // this side's copies of those sent are then closed aside, so that this thread never
    // waits on them.
    explicit AttachedDescriptors(bool receiverAlongside = false)
        : receiverAlongside_(receiverAlongside) {}
    ~AttachedDescriptors() { endLingering(); }
    AttachedDescriptors(const AttachedDescriptors&) = delete;
    AttachedDescriptors& operator=(const AttachedDescriptors&) = delete;

    // Makes a descriptor to attach, of the kind `choice` names: the write end of a pipe, an
    // end of a socket pair, or a socket whose last close lingers. This side's copy stays
    // here until settle(). -1 when none could be made, or kMost were made already.
    int make(uint8_t choice);
    // The descriptors made since the last settle() went with a send (`sent`) or not: this
    // side's copies close. A lingering socket that did not go stops lingering first, so
    // that this close is not the one that waits.
    void settle(bool sent);
    // True when every copy of the pipe ends and socket pair ends made is closed: in this
    // process, and in flight in any socket.
    bool allClosed() const;
    // Resets the connections of the lingering sockets: a close waiting on one returns.
    void endLingering();

  private:
    std::vector<unique_fd> witnesses_;
    std::vector<unique_fd> unsettled_;
    std::vector<std::unique_ptr<test::LingeringSocket>> lingering_;
    // Those of `lingering_` made since the last settle().
    size_t lingeringSettled_ = 0;
    size_t made_ = 0;
    bool receiverAlongside_;
};

// The descriptors open in this process now (/proc/self/fd).
size_t openDescriptors();

// Waits at most `timeoutMs` until the closer thread has closed every descriptor handed to
// it; false when it has not.
bool closesAsideDone(int timeoutMs);

// Counts the descriptors open when it is made, and when it ends checks that the closer
// thread has closed all it was given and that no more are open than before: around a run
// of a target, so that a descriptor left open by it is a finding.
class NothingLeftOpen {
  public:
    NothingLeftOpen() : before_(openDescriptors()) {}
    ~NothingLeftOpen();
    NothingLeftOpen(const NothingLeftOpen&) = delete;
    NothingLeftOpen& operator=(const NothingLeftOpen&) = delete;

  private:
    size_t before_;
};

}  // namespace zorlek::fuzz
