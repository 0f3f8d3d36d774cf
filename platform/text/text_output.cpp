#include "platform/text/text_output.h"

#include <poll.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

#include "platform/text/string8.h"

namespace zorlek {

// Constant-initialised: no start-up cost, and usable from any other static's destructor.
constinit TextOutput aout(STDOUT_FILENO, nullptr, TextOutput::Flushing::kEachWriteOnTerminal);
constinit TextOutput aerr(STDERR_FILENO, &aout, TextOutput::Flushing::kEachLine);

namespace {

bool writableNow(int fd) {
    pollfd ready = {fd, POLLOUT, 0};
    while (::poll(&ready, 1, 0) < 0) {
        if (errno != EINTR) return true;  // let the write itself report the problem
    }
    return (ready.revents & (POLLOUT | POLLERR | POLLHUP | POLLNVAL)) != 0;
}

// Writes all of `len` bytes, retrying short writes and EINTR; 0 or -errno. A descriptor
// that someone else made non-blocking (a shared pipe) is waited on rather than given up,
// so that output is not lost to EAGAIN. With `dropped` set, nothing waits: what the
// descriptor cannot take at once is counted there instead of written.
int writeAll(int fd, const char* bytes, size_t len, size_t* dropped) {
    while (len > 0) {
        if (dropped != nullptr && !writableNow(fd)) {
            *dropped += len;
            return 0;
        }
        ssize_t n = ::write(fd, bytes, len);
        if (n < 0) {
            if (errno == EINTR) continue;
            if ((errno == EAGAIN || errno == EWOULDBLOCK) && dropped == nullptr) {
                pollfd ready = {fd, POLLOUT, 0};
                if (::poll(&ready, 1, -1) >= 0 || errno == EINTR) continue;
            }
            return -errno;
        }
        bytes += n;
        len -= static_cast<size_t>(n);
    }
    return 0;
}

}  // namespace

int TextOutput::flush() {
    if (used_ == 0) return 0;
    size_t len = used_;
    used_ = 0;
    if (sink_ != nullptr) {
        sink_->append(buffer_, len);
        return 0;
    }
    if (error_ != 0) return -error_;
    int status = writeAll(fd_, buffer_, len, dropWhenBlocked_ ? &droppedBytes_ : nullptr);
    if (status < 0) error_ = -status;
    return status;
}

TextOutput& TextOutput::write(const char* bytes, size_t len) {
    if (partner_ != nullptr) partner_->flush();
    if (linePrefix_ != nullptr && atLineStart_ && len >= linePrefixSize_ &&
        std::memcmp(bytes, linePrefix_, linePrefixSize_) == 0) {
        bytes += linePrefixSize_;
        len -= linePrefixSize_;
    }
    if (len > 0) atLineStart_ = bytes[len - 1] == '\n';
    while (len > 0) {
        if (used_ == kBufferSize) flush();
        size_t chunk = kBufferSize - used_;
        if (chunk > len) chunk = len;
        std::memcpy(buffer_ + used_, bytes, chunk);
        used_ += chunk;
        bytes += chunk;
        len -= chunk;
    }
    switch (flushing_) {
        case Flushing::kWhenFull:
            break;
        case Flushing::kEachLine:
            if (used_ > 0 && buffer_[used_ - 1] == '\n') flush();
            break;
        case Flushing::kEachWriteOnTerminal:
            // Asked once, at the first write: a run that never writes never asks.
            if (terminal_ < 0) terminal_ = ::isatty(fd_) ? 1 : 0;
            if (terminal_ == 1) flush();
            break;
    }
    return *this;
}

TextOutput& TextOutput::operator<<(const char* text) {
    if (text != nullptr) write(text, std::strlen(text));
    return *this;
}

TextOutput& TextOutput::operator<<(const String8& text) {
    return write(text.data(), text.size());
}

TextOutput& TextOutput::operator<<(uint32_t value) {
    char digits[10];
    size_t n = 0;
    do {
        digits[sizeof digits - 1 - n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    return write(digits + sizeof digits - n, n);
}

TextOutput& TextOutput::operator<<(int32_t value) {
    if (value < 0) {
        write("-", 1);
        // Negate in unsigned arithmetic so INT32_MIN does not overflow.
        return *this << (0u - static_cast<uint32_t>(value));
    }
    return *this << static_cast<uint32_t>(value);
}

void TextOutput::dropWhenBlocked(bool drop) {
    flush();
    dropWhenBlocked_ = drop;
}

void TextOutput::leaveOutLinePrefix(const char* prefix) {
    linePrefix_ = prefix;
    linePrefixSize_ = prefix != nullptr ? std::strlen(prefix) : 0;
}

void TextOutput::captureInto(String8* sink) {
    flush();
    sink_ = sink;
}

TextOutput& endl(TextOutput& out) {
    return out.write("\n", 1);
}

}  // namespace zorlek
