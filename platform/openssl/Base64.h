#pragma once
// Base64 (RFC 4648, with padding, no line breaks), for bytes that travel in JSON.

#include <string>

#include "penwell/platform/Bytes.h"

namespace penwell::openssl {

std::string base64(ByteView bytes);

}  // namespace penwell::openssl
