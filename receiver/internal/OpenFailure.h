#pragma once
// Private to the receiver.

#include <string>

#include "penwell/platform/Errors.h"
#include "penwell/platform/openssl/OpenSslKeys.h"
#include "penwell/receiver/OpenEvidence.h"

namespace penwell::receiver::internal {

/// The refusal "<message>" in kOpenErrorDomain; OpenSSL's queue, which may hold why, is
/// emptied so no later call reads it as its own.
inline Failure openFailure(OpenError code, std::string message) {
    openssl::clearErrors();
    return {kOpenErrorDomain, static_cast<std::int64_t>(code), std::move(message)};
}

}  // namespace penwell::receiver::internal
