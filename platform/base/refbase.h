// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

namespace zorlek {

// Base of every counted object. An object starts with no strong references and is
// deleted when the last one is released; hold it only through sp<T>.
class RefBase {
  public:
    // Adds one strong reference.
    void incStrong() const { count_.fetch_add(1, std::memory_order_relaxed); }
    // Releases one strong reference; deletes the object when it was the last.
    void decStrong() const {
        if (count_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }
    // The current number of strong references (for tests and diagnostics).
    int32_t strongCount() const { return count_.load(std::memory_order_relaxed); }

  protected:
    RefBase() = default;
    virtual ~RefBase() = default;
    RefBase(const RefBase&) = delete;
    RefBase& operator=(const RefBase&) = delete;

  private:
    mutable std::atomic<int32_t> count_{0};
};

// A counted strong reference to a RefBase-derived object; null or one reference held.
template <typename T>
class sp {
  public:
    sp() = default;
    sp(std::nullptr_t) {}
    // Takes a new reference to `object` (which may be null).
    sp(T* object) : ptr_(object) {
        if (ptr_ != nullptr) ptr_->incStrong();
    }
    sp(const sp& other) : sp(other.ptr_) {}
    sp(sp&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    template <typename U>
    sp(const sp<U>& other) : sp(other.get()) {}
    ~sp() { reset(); }

    sp& operator=(sp other) noexcept {
        std::swap(ptr_, other.ptr_);
        return *this;
    }

    // Releases the reference held, if any.
    void reset() {
        if (ptr_ != nullptr) std::exchange(ptr_, nullptr)->decStrong();
    }

    T* get() const { return ptr_; }
    T* operator->() const { return ptr_; }
    T& operator*() const { return *ptr_; }
    explicit operator bool() const { return ptr_ != nullptr; }
    bool operator==(std::nullptr_t) const { return ptr_ == nullptr; }
    template <typename U>
    bool operator==(const sp<U>& other) const {
        return ptr_ == other.get();
    }

  private:
    T* ptr_ = nullptr;
};

// Creates a T with `args` and returns the first strong reference to it.
template <typename T, typename... Args>
sp<T> make(Args&&... args) {
    return sp<T>(new T(std::forward<Args>(args)...));
}

}  // namespace zorlek
