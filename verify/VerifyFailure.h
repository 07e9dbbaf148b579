#pragma once
// How the verification library fails: every call that can fail answers a Result
// (platform/Result.h) whose Failure is in kVerifyErrorDomain, its code a FailureCode, its
// message one line naming the input at fault. Nothing in verify/ throws for bad input.

#include <cstdint>
#include <string>
#include <utility>

#include "penwell/platform/Result.h"

namespace penwell::verify {

/// Domain of every failure of this library; codes are FailureCode values.
inline constexpr const char* kVerifyErrorDomain = "PenwellVerify";

/// Why a call was refused. Callers switch on the code and print the message as it is.
enum class FailureCode : std::int64_t {
    tooFewReferences = 1,  ///< enrolment with fewer than kMinReferences signatures
    tooManyReferences,
    emptySignature,     ///< a signature without a single sample
    tooLong,            ///< more samples or strokes than a signature may have
    invalidSample,      ///< a position, pressure or time that is not a usable number
    mixedKinds,         ///< pen and finger references without the override
    wrongVersion,       ///< a template file of another format version
    malformedTemplate,  ///< a template file that is not one
    invalidArgument,    ///< a threshold or protocol setting out of range
};

/// A failure with no one place to point at, or whose message reads otherwise.
inline Failure fail(FailureCode code, std::string message) {
    return {kVerifyErrorDomain, static_cast<std::int64_t>(code), std::move(message)};
}

/// A failure at `where` (a file, a signature's name, a line of a file): "<where>: <what>".
inline Failure fail(FailureCode code, std::string where, const std::string& what) {
    return Failure::at(kVerifyErrorDomain, static_cast<std::int64_t>(code), std::move(where), what);
}

/// The code of one of this library's failures.
inline FailureCode codeOf(const Failure& failure) {
    return static_cast<FailureCode>(failure.code);
}

}  // namespace penwell::verify
