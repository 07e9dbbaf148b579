#pragma once
// The one failure domain of the wire formats' decoders. A library that decodes on a caller's
// behalf (the receiver) may answer the same one line under its own domain.

#include <cstdint>
#include <string>

#include "penwell/platform/Errors.h"

namespace penwell {

inline constexpr const char* kFormatErrorDomain = "PenwellFormat";

enum class FormatError : int {
    pointStream = 1,      ///< not a whole point stream (format/PointStream.h)
    evidencePayload = 2,  ///< not a version-1 evidence payload, or one that breaks its limits
};

inline Failure formatFailure(FormatError code, std::string message) {
    return {kFormatErrorDomain, static_cast<std::int64_t>(code), std::move(message)};
}

}  // namespace penwell
