// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "platform/text.h"
#include "tests/support/wait.h"

namespace zorlek {
namespace {

// A pipe whose read end collects everything a stream wrote to the write end.
struct Pipe {
    int fds[2] = {-1, -1};
    Pipe() { EXPECT_EQ(pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0); }
    ~Pipe() {
        close(fds[0]);
        if (fds[1] >= 0) close(fds[1]);
    }
    std::string drain() {
        std::string text;
        char buf[4096];
        for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;)
            text.append(buf, static_cast<size_t>(n));
        return text;
    }
};

TEST(TextOutput, FormatsStringsNumbersAndEndl) {
    String8 sink;
    TextOutput out(-1, nullptr, TextOutput::Flushing::kWhenFull);
    out.captureInto(&sink);
    out << "n=" << uint32_t{0} << " " << uint32_t{4294967295u} << " " << int32_t{-2147483647 - 1}
        << " " << int32_t{42} << endl;
    out << static_cast<const char*>(nullptr) << String8("x") << endl;
    out.flush();
    EXPECT_EQ(std::string(sink.c_str()), "n=0 4294967295 -2147483648 42\nx\n");
}

TEST(TextOutput, LeavesOutALinePrefixOnlyWhereALineBegins) {
    String8 sink;
    TextOutput out(-1, nullptr, TextOutput::Flushing::kEachLine);
    out.captureInto(&sink);
    out.leaveOutLinePrefix("prog: ");
    out << "prog: one "
        << "prog: mid-line" << endl;  // begins the first line only
    out << "prog: " << endl;          // the prefix alone
    out << "prog:"
        << " split" << endl;                        // not in one write: kept
    out << "other: prog: " << uint32_t{3} << endl;  // not at the start
    out.write("prog: a\nprog: b\n", 16);            // one write, two lines: the first
    out << "prog: after" << endl;
    out.leaveOutLinePrefix(nullptr);
    out << "prog: kept" << endl;
    out.flush();
    EXPECT_EQ(std::string(sink.c_str()),
              "one prog: mid-line\n\nprog: split\nother: prog: 3\na\nprog: b\nafter\nprog: kept\n");
}

TEST(TextOutput, BuffersUntilFlushAndLosesNothingBeyondTheBuffer) {
    Pipe p;
    std::string expected;
    {
        TextOutput out(p.fds[1], nullptr, TextOutput::Flushing::kWhenFull);
        out << "held";
        EXPECT_EQ(p.drain(), "");
        // More than the buffer holds in one write, and many small writes across it.
        std::string big(20000, 'a');
        out << big.c_str();
        for (uint32_t i = 0; i < 3000; ++i) out << i << endl;
        expected = "held" + big;
        for (uint32_t i = 0; i < 3000; ++i) expected += std::to_string(i) + "\n";
        // The pipe holds 64 KiB; stay under it so the writes never block.
        ASSERT_LT(expected.size(), 65536u);
    }  // the destructor flushes the rest
    EXPECT_EQ(p.drain(), expected);
}

TEST(TextOutput, LineFlushedStreamFlushesItsPartnerFirst) {
    Pipe p;
    TextOutput out(p.fds[1], nullptr, TextOutput::Flushing::kWhenFull);
    TextOutput err(p.fds[1], &out, TextOutput::Flushing::kEachLine);
    out << "result line" << endl;
    err << "error: ";
    EXPECT_EQ(p.drain(), "result line\n");
    err << "bad" << endl;
    EXPECT_EQ(p.drain(), "error: bad\n");
    out << "usage" << endl;
    out.flush();
    EXPECT_EQ(p.drain(), "usage\n");
}

TEST(TextOutput, ShowsEachWriteAtOnceOnATerminalButHoldsItForAPipe) {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    int terminal = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(terminal, 0);
    termios raw;
    ASSERT_EQ(tcgetattr(terminal, &raw), 0);
    cfmakeraw(&raw);
    ASSERT_EQ(tcsetattr(terminal, TCSANOW, &raw), 0);
    TextOutput onTerminal(terminal, nullptr, TextOutput::Flushing::kEachWriteOnTerminal);
    onTerminal << "0\tslow: [";
    pollfd ready = {master, POLLIN, 0};
    ASSERT_EQ(poll(&ready, 1, 2000), 1) << "a partial line reaches the terminal at once";
    char buf[64];
    EXPECT_EQ(read(master, buf, sizeof buf), 9);
    close(terminal);
    close(master);

    Pipe p;
    {
        TextOutput onPipe(p.fds[1], nullptr, TextOutput::Flushing::kEachWriteOnTerminal);
        onPipe << "0\tslow: [";
        EXPECT_EQ(p.drain(), "") << "a pipe gets it in one write, later";
    }
    EXPECT_EQ(p.drain(), "0\tslow: [");
}

TEST(TextOutput, ANonBlockingPipeThatFillsUpLosesNothing) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
    int capacity = fcntl(fds[1], F_SETPIPE_SZ, 4096);
    ASSERT_GT(capacity, 0);
    std::string expected;
    for (uint32_t i = 0; i < 20000; ++i) expected += std::to_string(i) + "\n";
    // The reader starts only once the pipe is full, so that the writer meets EAGAIN.
    std::thread reader([&] {
        EXPECT_TRUE(test::waitUntil(
            [&] {
                int queued = 0;
                return ioctl(fds[0], FIONREAD, &queued) == 0 && queued >= capacity;
            },
            5000));
        std::string got;
        pollfd pfd = {fds[0], POLLIN, 0};
        while (got.size() < expected.size() && poll(&pfd, 1, 5000) > 0) {
            char buf[4096];
            ssize_t n = read(fds[0], buf, sizeof buf);
            if (n > 0) got.append(buf, static_cast<size_t>(n));
        }
        EXPECT_EQ(got, expected);
    });
    {
        TextOutput out(fds[1], nullptr, TextOutput::Flushing::kWhenFull);
        for (uint32_t i = 0; i < 20000; ++i) out << i << endl;
        EXPECT_EQ(out.flush(), 0);
        EXPECT_FALSE(out.failed());
    }
    reader.join();
    close(fds[0]);
    close(fds[1]);
}

TEST(TextOutput, DropWhenBlockedNeverWaitsOnAFullPipeAndKeepsWholeLines) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);  // blocking: a plain write would wait forever
    ASSERT_GT(fcntl(fds[1], F_SETPIPE_SZ, 4096), 0);
    TextOutput log(fds[1], nullptr, TextOutput::Flushing::kEachLine);
    log.dropWhenBlocked(true);
    const std::string line = std::string(99, 'x') + "\n";
    for (int i = 0; i < 200; ++i) log << line.c_str();  // 20000 bytes into a 4096-byte pipe
    EXPECT_GT(log.droppedBytes(), 0u);
    EXPECT_EQ(log.droppedBytes() % line.size(), 0u) << "only whole lines are dropped";
    EXPECT_FALSE(log.failed());
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
    std::string got;
    char buf[8192];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;)
        got.append(buf, static_cast<size_t>(n));
    EXPECT_EQ(got.size() + log.droppedBytes(), 200 * line.size());
    EXPECT_EQ(got.size() % line.size(), 0u);
    // Once the reader has caught up, lines flow again.
    size_t droppedBefore = log.droppedBytes();
    log << "after" << endl;
    EXPECT_EQ(log.droppedBytes(), droppedBefore);
    EXPECT_EQ(read(fds[0], buf, sizeof buf), 6);
    close(fds[0]);
    close(fds[1]);
}

// Lines of many lengths around the pipe's atomic size (4096) and the buffer's (8192), each
// numbered, written whole, in two pieces, and two to a write, into a pipe read only now and
// then. Whatever could not wait was dropped, but only ever whole lines reach the reader:
// a line that went out in part is finished before the next one.
TEST(TextOutput, DropWhenBlockedPassesOnlyWholeLinesThroughAPipeThatFillsUp) {
    std::vector<std::string> lines;
    for (int round = 0; round < 6; ++round) {
        for (size_t length : {1, 80, 1000, 3000, 4095, 4096, 4097, 6000, 8000, 9000}) {
            std::string line = std::to_string(lines.size()) + ":";
            line.resize(std::max(length, line.size() + 1) - 1, static_cast<char>('a' + round));
            lines.push_back(line + "\n");
        }
    }
    // First a pipe someone else made non-blocking, where a write may take part of what it
    // is given; then a blocking one, last because there the old faults hang rather than fail.
    for (bool nonBlocking : {true, false}) {
        if (HasFailure()) return;
        Pipe p;
        ASSERT_GT(fcntl(p.fds[1], F_SETPIPE_SZ, 16384), 0);
        ASSERT_EQ(fcntl(p.fds[1], F_SETFL, nonBlocking ? O_NONBLOCK : 0), 0);
        TextOutput log(p.fds[1], nullptr, TextOutput::Flushing::kEachLine);
        log.dropWhenBlocked(true);
        std::string got;
        for (size_t i = 0; i < lines.size(); ++i) {
            const std::string& line = lines[i];
            if (i % 3 == 0) {
                log.write(line.data(), line.size());
            } else if (i % 3 == 1) {
                log.write(line.data(), line.size() / 2);
                log.write(line.data() + line.size() / 2, line.size() - line.size() / 2);
            } else {
                std::string two = line + (i + 1 < lines.size() ? lines[++i] : "");
                log.write(two.data(), two.size());
            }
            if (i % 7 == 0) got += p.drain();
        }
        got += p.drain();
        log << "end" << endl;
        got += p.drain();
        EXPECT_FALSE(log.failed()) << nonBlocking;
        EXPECT_GT(log.droppedBytes(), 0u) << nonBlocking;
        size_t total = 4;
        for (const std::string& line : lines) total += line.size();
        EXPECT_EQ(got.size() + log.droppedBytes(), total) << nonBlocking;
        // Each line read is one of those written, whole, and in order.
        size_t next = 0;
        for (size_t at = 0, end; at < got.size(); at = end + 1) {
            end = got.find('\n', at);
            std::string line = got.substr(at, end == std::string::npos ? end : end + 1 - at);
            if (line == "end\n" && end + 1 == got.size()) break;
            while (next < lines.size() && lines[next] != line) ++next;
            ASSERT_LT(next, lines.size())
                << nonBlocking << ": not a whole line, or out of order: " << line.substr(0, 40)
                << " (" << line.size() << ")";
            ++next;
        }
        EXPECT_EQ(got.substr(got.size() - std::min<size_t>(got.size(), 4)), "end\n");
    }
}

TEST(TextOutput, WriteFailureIsRecordedAndLaterOutputDropped) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    close(fds[0]);
    signal(SIGPIPE, SIG_IGN);
    TextOutput out(fds[1], nullptr, TextOutput::Flushing::kWhenFull);
    out << "lost" << endl;
    EXPECT_EQ(out.flush(), -EPIPE);
    EXPECT_TRUE(out.failed());
    out << "more";
    EXPECT_NE(out.flush(), 0);
    close(fds[1]);
}

}  // namespace
}  // namespace zorlek
