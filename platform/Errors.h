#pragma once
// The failure conventions shared by every part of Penwell.
//
//  - A "nil" result is an empty std::optional or a null pointer.
//  - An optional error out-parameter is an `Error*` that may be null; when it is not null and
//    the operation fails, the error is written there.
//  - A programming error with a fixed message throws AssertionFailure (what() is the message).
//  - The controller's one named exception is Exception, carrying a name and a reason.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

namespace penwell {

/// An error value: the domain that produced it and that domain's status code.
struct Error {
    std::string domain;
    std::int64_t code = 0;

    friend bool operator==(const Error&, const Error&) = default;
};

/// Why an operation failed, for a host to show: the domain and code a program acts on, and one
/// line for a person that names the input at fault (a file, an option, a field) and what is
/// wrong with it.
struct Failure {
    std::string domain;
    std::int64_t code = 0;
    std::string message;

    friend bool operator==(const Failure&, const Failure&) = default;
};

/// A broken precondition that only a programming error can cause ("IV must not be NULL").
class AssertionFailure : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

/// A named exception, raised for example when the controller is shown without its pad view.
/// what() answers the reason.
class Exception : public std::runtime_error {
public:
    Exception(std::string name, const std::string& reason)
        : std::runtime_error(reason), name_(std::move(name)) {}

    const std::string& name() const noexcept { return name_; }
    std::string reason() const { return what(); }

private:
    std::string name_;
};

}  // namespace penwell
