// SPDX-License-Identifier: Apache-2.0
#include "platform/base/byte_buffer.h"

#include <cstring>
#include <new>
#include <utility>

namespace zorlek {

namespace {

void freeBytes(uint8_t* bytes) {
    ::operator delete(bytes);
}

}  // namespace

ByteBuffer::~ByteBuffer() {
    freeBytes(data_);
}

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
    ByteBuffer taken(std::move(other));
    swap(taken);
    return *this;
}

void ByteBuffer::swap(ByteBuffer& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
}

bool ByteBuffer::resize(size_t size) {
    if (size > capacity_) {
        // Growing by half again keeps appending item by item linear.
        size_t room = capacity_ + capacity_ / 2;
        if (room < size) room = size;
        if (room < 64) room = 64;
        // The allocator that throws is the one a program may replace, so its count sees
        // these too; a failure comes back as null.
        void* grown = ::operator new(room, std::nothrow);
        if (grown == nullptr && room > size) grown = ::operator new(room = size, std::nothrow);
        if (grown == nullptr) return false;
        if (size_ > 0) std::memcpy(grown, data_, size_);
        freeBytes(data_);
        data_ = static_cast<uint8_t*>(grown);
        capacity_ = room;
    }
    if (size > size_) std::memset(data_ + size_, 0, size - size_);
    size_ = size;
    return true;
}

bool ByteBuffer::assign(const uint8_t* bytes, size_t size) {
    size_ = 0;
    if (!resize(size)) return false;
    if (size > 0) std::memcpy(data_, bytes, size);
    return true;
}

bool ByteBuffer::append(const uint8_t* bytes, size_t size) {
    size_t old = size_;
    if (!resize(old + size)) return false;
    if (size > 0) std::memcpy(data_ + old, bytes, size);
    return true;
}

void ByteBuffer::consume(size_t count) {
    if (count >= size_) {
        size_ = 0;
        return;
    }
    std::memmove(data_, data_ + count, size_ - count);
    size_ -= count;
}

void ByteBuffer::release() {
    freeBytes(std::exchange(data_, nullptr));
    size_ = capacity_ = 0;
}

}  // namespace zorlek
