// SPDX-License-Identifier: Apache-2.0
// A registry that grants taps, for running `monitor` and `capture` in-process: the test
// plays the host at the other end of each tap, its messages written before the run.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/base/call_record.h"
#include "tests/commands/fakes.h"

namespace zorlek::test {

// A two-way call to handle 1 with `code`: pid 4242, uid 1000, gid 100, 8 bytes of request
// (01 02 03 04 fe ff 00 09), 4 of reply (ab cd ef 01), 12 us.
CallRecord sampleRecord(uint64_t timeUs, uint32_t code);
// A MSG_CALL_RECORD carrying `record`, and a MSG_RECORDS_DROPPED of `count`.
Bytes recordMessage(const CallRecord& record);
Bytes dropMessage(uint32_t count);

// Local time is UTC while one lives.
class UtcZone {
  public:
    UtcZone();
    ~UtcZone();

  private:
    std::string saved_;
    bool had_ = false;
};

// Services "s" and "u" that describe themselves (method add = 1, oneway ping = 2), and
// "x ESC [31m y", which does not; each granted a tap with handle 1.
struct MonitorScene {
    MonitorScene();
    Journal journal;
    sp<FakeRegistry> registry;
    // What the registry answers a request for a tap.
    status_t grant = OK;
    // What the host writes on the tap of each name before the run, and whether it then
    // closes its end.
    std::map<std::string, Bytes> sent;
    bool hostCloses = false;

    // Runs the tool with its output captured.
    Outcome run(std::vector<std::string> args);
    // Runs it with standard output a file (as a capture must have), read back as `out`.
    Outcome runToFile(std::vector<std::string> args);
    // Runs it with standard output a terminal.
    Outcome runOnTerminal(std::vector<std::string> args);

  private:
    Outcome runWithStdout(int fd, std::vector<std::string> args);
    std::vector<unique_fd> hostEnds_;
};

}  // namespace zorlek::test
