// SPDX-License-Identifier: Apache-2.0
// The pcapng blocks of `capture`, byte by byte; and a capture of ten calls, made by the tool
// in-process, as the packet analyser's command-line reader shows it with the dissector the
// package ships (skipped, saying why, where tshark is not installed).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "commands/monitor/pcapng.h"
#include "tests/commands/monitor_scene.h"

namespace zorlek::test {
namespace {

Bytes text(std::string_view t) {
    return Bytes(t.begin(), t.end());
}

TEST(Pcapng, HeaderBlocks) {
    Parcel out;
    appendCaptureHeader(&out, "zorlek 1.2");
    Bytes want =
        cat({// Section header: type, length, byte-order magic, version 1.0, length unknown.
             i32(0x0A0D0D0A),
             i32(48),
             i32(0x1A2B3C4D),
             i32(1),
             i32(0xFFFFFFFF),
             i32(0xFFFFFFFF),
             // shb_userappl (4), 10 bytes, padded; end of options; the length again.
             i32(0x000A0004),
             text("zorlek 1.2"),
             {0, 0},
             i32(0),
             i32(48),
             // Interface description: link type 147 (USER0), no snap length, if_tsresol 6 (us).
             i32(1),
             i32(32),
             i32(147),
             i32(0),
             i32(0x00010009),
             {6, 0, 0, 0},
             i32(0),
             i32(32)});
    EXPECT_EQ(bytesOf(out), want) << hex(bytesOf(out));
}

TEST(Pcapng, EnhancedPacketBlocks) {
    const uint8_t payload[] = {0xaa, 0xbb, 0xcc, 0xdd, 1, 2, 3, 4};
    struct Row {
        uint64_t timeUs;
        std::string_view service;
        std::string_view method;
        Bytes block;
    } rows[] = {
        {0x0000000100000002, "s", "add",
         cat({i32(6),
              i32(60),
              i32(0),
              i32(1),
              i32(2),
              i32(28),
              i32(28),
              bytesOf(payload, 8),
              i32(1),
              text("s"),
              {0, 0, 0},
              i32(3),
              text("add"),
              {0},
              i32(16),
              i32(60)})},
        // No method known: an empty string; a name of four bytes needs no padding.
        {7, "abcd", "",
         cat({i32(6), i32(56), i32(0), i32(0), i32(7), i32(24), i32(24), bytesOf(payload, 8),
              i32(4), text("abcd"), i32(0), i32(12), i32(56)})},
    };
    for (const Row& row : rows) {
        Parcel out;
        appendCapturedRecord(&out, row.timeUs, payload, sizeof payload, row.service, row.method);
        EXPECT_EQ(bytesOf(out), row.block) << hex(bytesOf(out));
    }
}

// Runs `command` and gives its standard output; empty when it could not run.
std::string outputOf(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, n);
    ::pclose(pipe);
    return out;
}

TEST(Pcapng, TenCallsOpenInTsharkWithTheDissector) {
    if (::system("command -v tshark >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "tshark is not installed (Debian package tshark)";
    MonitorScene scene;
    Bytes calls;
    for (uint32_t i = 0; i < 10; ++i) {
        CallRecord record = sampleRecord(1796835731483920 + i, i % 2 == 0 ? 1 : 2);
        if (record.code == 2) record.flags = FLAG_ONEWAY;
        calls = cat({calls, recordMessage(record)});
    }
    scene.sent["s"] = calls;
    Outcome got = scene.runToFile({"capture", "--count", "10", "s"});
    ASSERT_EQ(got.status, 0) << got.err;
    char path[] = "/tmp/zorlek-capture-XXXXXX";
    int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, got.out.data(), got.out.size()), static_cast<ssize_t>(got.out.size()));
    ::close(fd);
    std::string lines =
        outputOf(std::string("HOME=/nonexistent tshark -n -Q -X lua_script:") + ZORLEK_SOURCE_DIR +
                 "/dist/wireshark/zorlek.lua -r " + path +
                 " -T fields -E separator=, -e zorlek.service -e zorlek.method -e zorlek.code "
                 "-e zorlek.request_size 2>" +
                 path + ".err");
    std::string errors = outputOf(std::string("cat ") + path + ".err");
    ::unlink(path);
    ::unlink((std::string(path) + ".err").c_str());
    std::string want;
    for (int i = 0; i < 10; ++i) want += i % 2 == 0 ? "s,add,1,8\n" : "s,ping,2,8\n";
    EXPECT_EQ(lines, want) << errors;
}

}  // namespace
}  // namespace zorlek::test
