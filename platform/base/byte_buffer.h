// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <cstdint>

namespace zorlek {

// A growable run of bytes allocated without exceptions, so that running out of memory is
// a value to report and never ends the process: the store beneath parcels and the
// transport's queues. Room once had is kept until the buffer goes (or is released).
// Move-only.
class ByteBuffer {
  public:
    ByteBuffer() = default;
    ~ByteBuffer();
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ByteBuffer(ByteBuffer&& other) noexcept;
    ByteBuffer& operator=(ByteBuffer&& other) noexcept;
    void swap(ByteBuffer& other) noexcept;

    uint8_t* data() { return data_; }
    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    size_t capacity() const { return capacity_; }
    // Makes the size `size`, zeroing the bytes that are new; false (nothing changed) when
    // no room can be had.
    bool resize(size_t size);
    // Replaces the contents with `size` bytes; false (left empty) when no room can be had.
    bool assign(const uint8_t* bytes, size_t size);
    // Appends `size` bytes; false (nothing changed) when no room can be had.
    bool append(const uint8_t* bytes, size_t size);
    // Drops the first `count` bytes, moving the rest to the front.
    void consume(size_t count);
    void clear() { size_ = 0; }
    // Gives the room back to the system.
    void release();

  private:
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

}  // namespace zorlek
