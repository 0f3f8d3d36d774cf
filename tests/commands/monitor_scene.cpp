// SPDX-License-Identifier: Apache-2.0
#include "tests/commands/monitor_scene.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "driver/driver.h"

namespace zorlek::test {
namespace {

const uint8_t kRequest[] = {1, 2, 3, 4, 0xfe, 0xff, 0, 9};
const uint8_t kReply[] = {0xab, 0xcd, 0xef, 0x01};

const char16_t kDescription[] =
    u"interface s.IAdder;\n"
    u"method add(a: i32, b: i32) -> (sum: i32) = 1;\n"
    u"oneway method ping() = 2;\n";

ObjectScript adder() {
    ObjectScript script = describedAs(u"s.IAdder");
    script.interfaceStatus = OK;
    script.interfaceReply = s16(kDescription);
    return script;
}

void writeAll(int fd, const Bytes& bytes) {
    size_t at = 0;
    while (at < bytes.size()) {
        ssize_t wrote = ::write(fd, bytes.data() + at, bytes.size() - at);
        if (wrote <= 0) return;
        at += static_cast<size_t>(wrote);
    }
}

}  // namespace

CallRecord sampleRecord(uint64_t timeUs, uint32_t code) {
    CallRecord r;
    r.timeUs = timeUs;
    r.pid = 4242;
    r.uid = 1000;
    r.gid = 100;
    r.handle = 1;
    r.code = code;
    r.requestSize = 8;
    r.replySize = 4;
    r.durationUs = 12;
    r.requestSnap = kRequest;
    r.requestSnapSize = sizeof kRequest;
    r.replySnap = kReply;
    r.replySnapSize = sizeof kReply;
    return r;
}

Bytes recordMessage(const CallRecord& record) {
    Parcel payload;
    if (encodeCallRecord(record, &payload) != OK) return {};
    return message(MSG_CALL_RECORD, bytesOf(payload));
}

Bytes dropMessage(uint32_t count) {
    return message(MSG_RECORDS_DROPPED, {}, count);
}

UtcZone::UtcZone() {
    const char* tz = std::getenv("TZ");
    had_ = tz != nullptr;
    if (had_) saved_ = tz;
    setenv("TZ", "UTC", 1);
    tzset();
}

UtcZone::~UtcZone() {
    if (had_) {
        setenv("TZ", saved_.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

MonitorScene::MonitorScene() : registry(new FakeRegistry(&journal)) {
    registry->add("s", adder());
    registry->add("u", adder());
    registry->add("x\x1b[31my", describedAs(u"x.I"));
    registry->onMonitor = [this](const std::string& name, int32_t, uint32_t* handle,
                                 unique_fd* tap) {
        if (grant != OK) return grant;
        if (name != "s" && name != "u" && name != "x\\x1B[31my") return -ENOENT;
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends) != 0)
            return -errno;
        tap->reset(ends[0]);
        unique_fd host(ends[1]);
        writeAll(host.get(), sent[name]);
        if (!hostCloses) hostEnds_.push_back(std::move(host));
        *handle = 1;
        return OK;
    };
}

Outcome MonitorScene::run(std::vector<std::string> args) {
    UtcZone utc;
    return runTool(registry, std::move(args));
}

Outcome MonitorScene::runWithStdout(int fd, std::vector<std::string> args) {
    std::fflush(stdout);
    aout.flush();
    int saved = ::dup(STDOUT_FILENO);
    ::dup2(fd, STDOUT_FILENO);
    UtcZone utc;
    String8 err;
    aerr.captureInto(&err);
    std::vector<char*> argv;
    std::string program = "zorlek";
    argv.push_back(program.data());
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int32_t status = runDriver(registry, static_cast<int>(args.size() + 1), argv.data());
    aout.flush();
    aerr.captureInto(nullptr);
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    return {"", std::string(err.data(), err.size()), status};
}

Outcome MonitorScene::runToFile(std::vector<std::string> args) {
    FILE* file = std::tmpfile();
    if (file == nullptr) return {"", "no temporary file", -1};
    Outcome got = runWithStdout(fileno(file), std::move(args));
    std::rewind(file);
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) got.out.append(chunk, n);
    std::fclose(file);
    return got;
}

Outcome MonitorScene::runOnTerminal(std::vector<std::string> args) {
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return {"", "no pty", -1};
    int terminal = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    Outcome got = runWithStdout(terminal, std::move(args));
    ::close(terminal);
    ::close(master);
    return got;
}

}  // namespace zorlek::test
