#pragma once
// Fresh random UUIDs (RFC 4122 version 4) in their canonical text form.

#include <string>

namespace penwell {

class UuidGenerator {
public:
    virtual ~UuidGenerator() = default;
    /// 36 characters: upper-case hexadecimal groups of 8-4-4-4-12 digits joined by hyphens.
    virtual std::string createString() const = 0;
};

}  // namespace penwell
