#pragma once
// Private to format/.

#include <string_view>

namespace penwell::format {

/// Whether `text` is well-formed UTF-8 (RFC 3629): no overlong forms, no surrogates, nothing
/// above U+10FFFF, no sequence cut short. An ASN.1 UTF8String must be, and a JSON writer
/// refuses to print anything else.
bool isUtf8(std::string_view text);

}  // namespace penwell::format
