#pragma once
// The value-or-error type of the verification library: every call that can fail returns an
// Outcome holding either its value or a Failure whose one-line message names the input at
// fault. Nothing in verify/ throws for bad input.

#include <string>
#include <utility>
#include <variant>

namespace penwell::verify {

/// Why a call was refused. Callers switch on the code and print the message as it is.
enum class FailureCode {
    tooFewReferences,  ///< enrolment with fewer than kMinReferences signatures
    tooManyReferences,
    emptySignature,     ///< a signature without a single sample
    tooLong,            ///< more samples or strokes than a signature may have
    invalidSample,      ///< a position, pressure or time that is not a usable number
    mixedKinds,         ///< pen and finger references without the override
    wrongVersion,       ///< a template file of another format version
    malformedTemplate,  ///< a template file that is not one
    invalidArgument,    ///< a threshold or protocol setting out of range
};

struct Failure {
    FailureCode code = FailureCode::invalidArgument;
    std::string message;
};

template <class T>
class Outcome {
public:
    Outcome(T value) : state_(std::move(value)) {}  // NOLINT: implicit, like std::expected
    Outcome(Failure failure) : state_(std::move(failure)) {}  // NOLINT

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    /// Only when ok().
    const T& value() const& { return std::get<0>(state_); }
    T& value() & { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    const T* operator->() const { return &value(); }

    /// Only when !ok().
    const Failure& failure() const { return std::get<1>(state_); }

private:
    std::variant<T, Failure> state_;
};

}  // namespace penwell::verify
