#include "penwell/platform/openssl/Base64.h"

#include <openssl/evp.h>

#include <limits>
#include <stdexcept>

namespace penwell::openssl {

std::string base64(ByteView bytes) {
    // EVP_EncodeBlock takes an int length; nothing Penwell sends comes near it.
    if (bytes.size() > static_cast<std::size_t>(std::numeric_limits<int>::max() / 4 * 3)) {
        throw std::length_error("base64: more than 1.5 GiB of input");
    }
    std::string out(4 * ((bytes.size() + 2) / 3), '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes.data(),
                                  static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

}  // namespace penwell::openssl
