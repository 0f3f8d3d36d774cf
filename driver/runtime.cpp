// SPDX-License-Identifier: Apache-2.0
// The part of the C++ runtime that the tool defines itself, so that it carries none of the
// runtime's exception machinery.
//
// The tool is built without exceptions and carries the C++ runtime inside (see
// ZORLEK_TOOL_LINK_OPTIONS). Left to the runtime, the few places where the standard library
// would throw (memory exhausted, a container past its largest size) bring along the code
// that throws: the unwinder, the terminate handler's demangler and an emergency pool of
// 73 KB allocated at every start, 150 KB of the program in all. Nothing in the tool could
// catch such an exception; it would end the process. Defined here, they end it directly,
// with one line on standard error, and the tool starts faster (docs/performance.md, the
// `check` row).
//
// Only the tool links this file, and only when it carries the runtime: a build with
// sanitizers keeps their own allocation functions.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>

namespace {

[[noreturn]] void endWith(const char* what) {
    // Unbuffered and allocation-free: the heap may be what failed.
    const char* parts[] = {"zorlek: ", what, "\n"};
    for (const char* part : parts) {
        if (::write(STDERR_FILENO, part, std::strlen(part)) < 0) break;
    }
    std::abort();
}

void* allocate(std::size_t size) {
    void* memory = std::malloc(size != 0 ? size : 1);
    if (memory == nullptr) endWith("out of memory");
    return memory;
}

}  // namespace

// The replaceable allocation functions of the standard.
void* operator new(std::size_t size) {
    return allocate(size);
}
void* operator new[](std::size_t size) {
    return allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return std::malloc(size != 0 ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return std::malloc(size != 0 ? size : 1);
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete[](void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, std::size_t) noexcept {
    std::free(memory);
}
void operator delete(void* memory, const std::nothrow_t&) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, const std::nothrow_t&) noexcept {
    std::free(memory);
}

// The standard library's throw points that the tool's code reaches. Weak: should another
// part of the runtime come in with the runtime's own definitions, those take over and the
// link still succeeds (the exception machinery then comes back, and the bench row shows it).
namespace std {
[[gnu::weak]] void __throw_bad_alloc() {
    endWith("out of memory");
}
[[gnu::weak]] void __throw_bad_array_new_length() {
    endWith("out of memory");
}
[[gnu::weak]] void __throw_length_error(const char* what) {
    endWith(what);
}
[[gnu::weak]] void __throw_logic_error(const char* what) {
    endWith(what);
}
[[gnu::weak]] void __throw_out_of_range(const char* what) {
    endWith(what);
}
[[gnu::weak]] void __throw_out_of_range_fmt(const char* what, ...) {
    endWith(what);
}
[[gnu::weak]] void __throw_bad_function_call() {
    endWith("call of an empty function");
}
}  // namespace std
