// SPDX-License-Identifier: Apache-2.0
// A registry serving on a thread of the test's own process, with options no command line
// gives: as on a kernel that cannot refuse descriptors, or built before some feature.
#pragma once

#include <string>
#include <thread>

#include "platform/base/unique_fd.h"
#include "registry/listen_socket.h"
#include "registry/server.h"

namespace zorlek::test {

// A registry serving on a thread of this process until it is destroyed.
class RegistryThread {
  public:
    RegistryThread(const std::string& path, const registry::ServerOptions& options)
        : path_(path), server_(options) {
        String8 error;
        listening_ =
            registry::openListeningSocket(path.c_str(), 1000, &listener_, &identity_, &error) == OK;
    }
    ~RegistryThread() {
        server_.stop();
        if (thread_.joinable()) thread_.join();
        registry::removeOwnSocket(path_.c_str(), identity_);
    }
    // Connections made before this wait in the listener's backlog, unread.
    void start() {
        thread_ = std::thread([this] { server_.run(std::move(listener_)); });
    }
    bool listening() const { return listening_; }

  private:
    std::string path_;
    registry::RegistryServer server_;
    unique_fd listener_;
    registry::SocketIdentity identity_;
    bool listening_ = false;
    std::thread thread_;
};

}  // namespace zorlek::test
