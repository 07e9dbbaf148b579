#pragma once
// Heap bytes in use by the whole benchmark program, Cairo and pixman included: the program
// replaces malloc and friends with counting wrappers around glibc's own (HeapCounter.cpp).

#include <cstdint>

namespace penwell::bench {

/// The most heap in use beyond what was in use when it was made, while it exists. One at a
/// time.
class HeapPeak {
public:
    HeapPeak();
    ~HeapPeak();
    HeapPeak(const HeapPeak&) = delete;
    HeapPeak& operator=(const HeapPeak&) = delete;

    std::int64_t bytes() const;
};

}  // namespace penwell::bench
