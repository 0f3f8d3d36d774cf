// SPDX-License-Identifier: Apache-2.0
#include "platform/text/text_output.h"

#include <limits.h>
#include <poll.h>
#include <string.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/text/string8.h"

namespace zorlek {

// Constant-initialised: no start-up cost, and usable from any other static's destructor.
constinit TextOutput aout(STDOUT_FILENO, nullptr, TextOutput::Flushing::kEachWriteOnTerminal);
constinit TextOutput aerr(STDERR_FILENO, &aout, TextOutput::Flushing::kEachLine);

namespace {

// What a pipe takes whole or not at all: a piece up to this size that the descriptor has
// room for never blocks and never goes in part.
constexpr size_t kAtomicWrite = PIPE_BUF;

bool writableNow(int fd) {
    pollfd ready = {fd, POLLOUT, 0};
    while (::poll(&ready, 1, 0) < 0) {
        if (errno != EINTR) return true;  // let the write itself report the problem
    }
    return (ready.revents & (POLLOUT | POLLERR | POLLHUP | POLLNVAL)) != 0;
}

// Writes all of `len` bytes, retrying short writes and EINTR; 0 or -errno. A descriptor
// that someone else made non-blocking (a shared pipe) is waited on rather than given up,
// so that output is not lost to EAGAIN.
int writeAll(int fd, const char* bytes, size_t len) {
    while (len > 0) {
        ssize_t n = ::write(fd, bytes, len);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
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

// The length of the line that starts at `bytes`, its newline included; `len` when the
// line does not end within it.
size_t lineLength(const char* bytes, size_t len) {
    const void* newline = std::memchr(bytes, '\n', len);
    return newline != nullptr ? static_cast<size_t>(static_cast<const char*>(newline) - bytes) + 1
                              : len;
}

}  // namespace

int TextOutput::flush() {
    return flushOut(false);
}

int TextOutput::flushOut(bool ending) {
    if (used_ == 0) return 0;
    if (sink_ != nullptr) {
        sink_->append(buffer_, used_);
        used_ = 0;
        return 0;
    }
    if (error_ != 0) {
        used_ = 0;
        return -error_;
    }
    if (dropWhenBlocked_) return writeLines(ending);
    size_t len = used_;
    used_ = 0;
    int status = writeAll(fd_, buffer_, len);
    if (status < 0) error_ = -status;
    return status;
}

// The next piece to write from `at`: the rest of a line begun, or as many whole lines as
// a pipe takes at once, or the first part of a longer line; 0 when what is left is a line
// still being written (kept until its end arrives, unless the stream is ending).
size_t TextOutput::nextPiece(size_t at, bool ending) const {
    size_t left = used_ - at;
    size_t piece = lineLength(buffer_ + at, left);
    bool whole = buffer_[at + piece - 1] == '\n';
    if (!whole && !midLine_ && !ending) return 0;
    if (whole && !midLine_) {
        while (at + piece < used_) {
            size_t more = lineLength(buffer_ + at + piece, used_ - at - piece);
            if (buffer_[at + piece + more - 1] != '\n' || piece + more > kAtomicWrite) break;
            piece += more;
        }
    }
    return piece < kAtomicWrite ? piece : kAtomicWrite;
}

int TextOutput::writeLines(bool ending) {
    size_t at = 0;
    bool stalled = false;
    while (at < used_ && !stalled) {
        size_t piece = nextPiece(at, ending);
        if (piece == 0) break;
        ssize_t n = 0;
        if (writableNow(fd_)) {
            n = ::write(fd_, buffer_ + at, piece);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                error_ = errno;
                used_ = 0;
                return -error_;
            }
        }
        if (n > 0) {
            at += static_cast<size_t>(n);
            midLine_ = buffer_[at - 1] != '\n';
        } else if (midLine_) {
            stalled = true;  // the rest of a line begun waits for the descriptor
        } else {
            // A piece the descriptor cannot take now: its lines are dropped whole.
            size_t line = lineLength(buffer_ + at, used_ - at);
            size_t gone = piece > line ? piece : line;
            droppedBytes_ += gone;
            at += gone;
        }
    }
    keepRest(at, stalled);
    return 0;
}

// Moves what was not written from `at` to the front. While a line begun is `stalled`,
// only its rest and the line still being written stay; the whole lines between them are
// dropped. A line still being written that fills the buffer is dropped, with what of it
// is yet to come.
void TextOutput::keepRest(size_t at, bool stalled) {
    size_t rest = stalled ? lineLength(buffer_ + at, used_ - at) : 0;
    size_t tail = at + rest;
    if (stalled) {
        const void* last = memrchr(buffer_ + tail, '\n', used_ - tail);
        size_t afterLast = last != nullptr
                               ? static_cast<size_t>(static_cast<const char*>(last) - buffer_) + 1
                               : tail;
        droppedBytes_ += afterLast - tail;
        tail = afterLast;
    }
    std::memmove(buffer_, buffer_ + at, rest);
    std::memmove(buffer_ + rest, buffer_ + tail, used_ - tail);
    used_ = rest + (used_ - tail);
    if (used_ == kBufferSize) {
        droppedBytes_ += used_ - rest;
        used_ = rest;
        skipping_ = true;
    }
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
        if (skipping_) {
            // The rest of a line dropped for want of room: dropped up to its end.
            size_t gone = lineLength(bytes, len);
            skipping_ = bytes[gone - 1] != '\n';
            droppedBytes_ += gone;
            bytes += gone;
            len -= gone;
            continue;
        }
        if (used_ == kBufferSize) {
            flush();
            continue;
        }
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
