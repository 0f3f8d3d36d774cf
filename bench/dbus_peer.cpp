// SPDX-License-Identifier: Apache-2.0
#include "bench/dbus_peer.h"

#include <unistd.h>

#include <cstdlib>

#include "harness/harness.h"

namespace zorlek::bench {
namespace {

const char* const kPython = "/usr/bin/python3";

// The value of "KEY=value" on its own line of `text`.
std::string valueOf(const std::string& text, const std::string& key) {
    size_t at = text.find(key + "=");
    if (at == std::string::npos || (at > 0 && text[at - 1] != '\n')) return "";
    size_t end = text.find('\n', at);
    return text.substr(at + key.size() + 1,
                       end == std::string::npos ? end : end - at - key.size() - 1);
}

}  // namespace

std::string dbusFixturePath() {
    const char* chosen = std::getenv("ZORLEK_DBUS_FIXTURE");
    if (chosen != nullptr && *chosen != '\0') return chosen;
    return std::string(ZORLEK_SOURCE_DIR) + "/../shared/peers/dbus_fixture.py";
}

std::string DbusPeer::missing() {
    for (const char* program : {"/usr/bin/busctl", "/usr/bin/dbus-daemon", kPython}) {
        if (access(program, X_OK) != 0) return program;
    }
    if (access(dbusFixturePath().c_str(), R_OK) != 0) return dbusFixturePath();
    test::RunResult modules = test::runProgram({kPython, "-c", "import dbus, gi"}, {}, 10000);
    if (modules.exitCode != 0) return "python3-dbus and python3-gi";
    return "";
}

bool DbusPeer::start(int names) {
    test::RunResult started = test::runProgram(
        {kPython, dbusFixturePath(), "start", std::to_string(names), "--ttl", "600"}, {}, 120000);
    address_ = valueOf(started.out, "DBUS_ADDRESS");
    dir_ = valueOf(started.out, "FIXTURE_DIR");
    if (started.exitCode == 0 && !address_.empty()) return true;
    stop();
    return false;
}

void DbusPeer::stop() {
    if (!dir_.empty()) test::runProgram({kPython, dbusFixturePath(), "stop", dir_}, {}, 30000);
    dir_.clear();
    address_.clear();
}

DbusPeer::~DbusPeer() {
    stop();
}

}  // namespace zorlek::bench
