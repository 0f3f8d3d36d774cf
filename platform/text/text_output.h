// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/text/limits.h"

namespace zorlek {

class String8;

// A buffered output stream on a file descriptor, without iostreams.
//
// Nothing written is lost: the buffer is written out when it fills, by flush(), and
// when the process exits normally (the stream's destructor). Partial writes and EINTR
// are retried; after a write error (EPIPE, EBADF, ...) further output is dropped and
// failed() reports it. `aerr` writes through at every line end and first flushes
// `aout`, so an error line never overtakes the output written before it. `aout` holds
// its output until exit when it goes to a pipe or a file, but shows every write at once
// on a terminal, so that a person sees a listing line start before a slow service
// answers; the bytes are the same either way.
class TextOutput {
  public:
    // When the stream writes its buffer out, besides when it is full or flushed.
    enum class Flushing {
        kWhenFull,             // only then
        kEachLine,             // after every write that ends a line
        kEachWriteOnTerminal,  // after every write when the descriptor is a terminal
    };

    // `fd` is not owned. `partner`, when set, is flushed before this stream writes.
    constexpr TextOutput(int fd, TextOutput* partner, Flushing flushing)
        : fd_(fd), partner_(partner), flushing_(flushing) {}
    ~TextOutput() { flushOut(true); }
    TextOutput(const TextOutput&) = delete;
    TextOutput& operator=(const TextOutput&) = delete;

    // Writes the bytes of a NUL-terminated string (null writes nothing).
    TextOutput& operator<<(const char* text);
    // Writes the bytes of an 8-bit string.
    TextOutput& operator<<(const String8& text);
    // Writes the number in decimal.
    TextOutput& operator<<(uint32_t value);
    TextOutput& operator<<(int32_t value);
    // Applies a manipulator such as endl.
    TextOutput& operator<<(TextOutput& (*manipulator)(TextOutput&)) { return manipulator(*this); }

    // Writes `len` bytes.
    TextOutput& write(const char* bytes, size_t len);
    // Writes out everything buffered. Returns 0 or a negative errno of the failed write.
    int flush();
    // True once a write to the descriptor has failed.
    bool failed() const { return error_ != 0; }
    // The errno of the first failed write (EPIPE, ENOSPC, ...); 0 while none failed.
    int error() const { return error_; }

    // For daemons whose log reader may stall: with `drop` set, output the descriptor
    // cannot take at once is dropped (and counted) instead of waited for, so a full log
    // pipe never stops the program. Output then goes out in whole lines, each kept or
    // dropped whole: a line is written once its newline has been written to the stream,
    // in pieces a pipe takes at once; a line the descriptor took in part is finished
    // before any other, and the lines written meanwhile are dropped. A line longer than
    // the buffer (kTextOutputBufferBytes) is dropped; text after the last newline goes out at exit.
    void dropWhenBlocked(bool drop);
    // Bytes dropped so far under dropWhenBlocked.
    size_t droppedBytes() const { return droppedBytes_; }

    // For a daemon whose log reader names it already (the systemd journal): a write that
    // begins a line and starts with `prefix` has the prefix left out. Null keeps every
    // byte. `prefix` is not copied: it must outlive its use.
    void leaveOutLinePrefix(const char* prefix);

    // For in-process tests: collect output into `sink` instead of the descriptor;
    // null restores the descriptor. Buffered output is flushed first.
    void captureInto(String8* sink);

  private:
    static constexpr size_t kBufferSize = kTextOutputBufferBytes;

    // flush(), and at `ending` also a last line without its newline.
    int flushOut(bool ending);
    // For dropWhenBlocked: writes or drops the whole lines buffered, and keeps the rest.
    int writeLines(bool ending);
    size_t nextPiece(size_t at, bool ending) const;
    void keepRest(size_t at, bool stalled);

    int fd_;
    TextOutput* partner_;
    Flushing flushing_;
    // For kEachWriteOnTerminal: whether fd_ is a terminal; -1 until the first write.
    int8_t terminal_ = -1;
    int error_ = 0;
    bool dropWhenBlocked_ = false;
    // Under dropWhenBlocked: the descriptor has the start of a line whose rest begins the
    // buffer; and a line is being dropped, up to its newline, for want of room.
    bool midLine_ = false;
    bool skipping_ = false;
    bool atLineStart_ = true;
    const char* linePrefix_ = nullptr;
    size_t linePrefixSize_ = 0;
    size_t droppedBytes_ = 0;
    String8* sink_ = nullptr;
    size_t used_ = 0;
    char buffer_[kBufferSize] = {};
};

// Writes one newline and nothing else.
TextOutput& endl(TextOutput& out);

// Standard output and standard error.
extern TextOutput aout;
extern TextOutput aerr;

}  // namespace zorlek
