#pragma once
// Heap bytes in use by the whole benchmark program, Cairo and pixman included: the program
// replaces malloc and friends with counting wrappers around glibc's own (HeapCounter.cpp).

#include <cstdint>

namespace penwell::bench {

/// The most heap in use, beyond what was in use at its start, while it existed.
class HeapPeak {
public:
    HeapPeak();
    std::int64_t bytes() const;

private:
    std::int64_t start_;
};

}  // namespace penwell::bench
