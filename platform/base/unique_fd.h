// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <unistd.h>

#include <utility>

namespace zorlek {

// Owns one file descriptor and closes it when destroyed or reset. Move-only; -1 means
// none is held.
class unique_fd {
  public:
    unique_fd() = default;
    // Takes ownership of `fd` (which may be -1).
    explicit unique_fd(int fd) : fd_(fd) {}
    ~unique_fd() { reset(); }
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
    unique_fd& operator=(unique_fd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    // The descriptor held, still owned by this object; -1 when none.
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }

    // Closes the descriptor held (if any) and takes ownership of `fd`.
    void reset(int fd = -1) {
        int old = std::exchange(fd_, fd);
        // close() is not retried on EINTR: on Linux the descriptor is gone either way.
        if (old >= 0) ::close(old);
    }
    // Gives up ownership and returns the descriptor (the caller must close it).
    int release() { return std::exchange(fd_, -1); }

  private:
    int fd_ = -1;
};

}  // namespace zorlek
