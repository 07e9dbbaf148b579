#pragma once
// One RAII owner for every C library handle: a unique_ptr whose deleter is the library's own
// free function. Backends alias it per handle type, e.g.
//     using CipherContext = CHandle<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>;

#include <memory>

namespace penwell {

template <auto Free>
struct FreeWith {
    template <typename T>
    void operator()(T* handle) const noexcept {
        if (handle != nullptr) {
            Free(handle);
        }
    }
};

template <typename T, auto Free>
using CHandle = std::unique_ptr<T, FreeWith<Free>>;

}  // namespace penwell
