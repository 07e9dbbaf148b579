// Counting replacements of the C allocator, for peak-memory figures. glibc lets a program
// define malloc and friends and still reach its own through the __libc_ entry points; every
// shared library the program loads then allocates through these.

#include "penwell/bench/HeapCounter.h"

#include <malloc.h>

#include <atomic>
#include <cerrno>
#include <cstddef>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* pointer);
}

namespace {

// Counting runs only while a HeapPeak exists, so the other benchmarks (and PBKDF2, which
// allocates on every round) pay one relaxed load per call. The count is then the net change
// since the window opened: blocks made before it and freed inside it count negative.
std::atomic<bool> counting{false};
std::atomic<std::int64_t> inUse{0};
std::atomic<std::int64_t> peak{0};

/// Counts a block just allocated; answers it, so that each allocator is one call.
void* counted(void* pointer) {
    if (pointer == nullptr || !counting.load(std::memory_order_relaxed)) {
        return pointer;
    }
    const auto size = static_cast<std::int64_t>(malloc_usable_size(pointer));
    const std::int64_t now = inUse.fetch_add(size) + size;
    std::int64_t high = peak.load();
    while (now > high && !peak.compare_exchange_weak(high, now)) {
    }
    return pointer;
}

void released(void* pointer) {
    if (pointer != nullptr && counting.load(std::memory_order_relaxed)) {
        inUse.fetch_sub(static_cast<std::int64_t>(malloc_usable_size(pointer)));
    }
}

}  // namespace

extern "C" {

void* malloc(std::size_t size) noexcept {
    return counted(__libc_malloc(size));
}

void* calloc(std::size_t count, std::size_t size) noexcept {
    return counted(__libc_calloc(count, size));
}

void* realloc(void* pointer, std::size_t size) noexcept {
    if (!counting.load(std::memory_order_relaxed)) {
        return __libc_realloc(pointer, size);
    }
    const std::int64_t before =
        pointer == nullptr ? 0 : static_cast<std::int64_t>(malloc_usable_size(pointer));
    void* p = __libc_realloc(pointer, size);
    if (p != nullptr || size == 0) {
        inUse.fetch_sub(before);  // moved or freed; a failed realloc keeps the old block
        counted(p);
    }
    return p;
}

void* memalign(std::size_t alignment, std::size_t size) noexcept {
    return counted(__libc_memalign(alignment, size));
}

void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept {
    return memalign(alignment, size);
}

int posix_memalign(void** result, std::size_t alignment, std::size_t size) noexcept {
    void* p = memalign(alignment, size);
    if (p == nullptr) {
        return ENOMEM;
    }
    *result = p;
    return 0;
}

void free(void* pointer) noexcept {
    released(pointer);
    __libc_free(pointer);
}

}  // extern "C"

namespace penwell::bench {

HeapPeak::HeapPeak() {
    inUse.store(0);
    peak.store(0);
    counting.store(true);
}

HeapPeak::~HeapPeak() {
    counting.store(false);
}

std::int64_t HeapPeak::bytes() const {
    return peak.load();
}

}  // namespace penwell::bench
