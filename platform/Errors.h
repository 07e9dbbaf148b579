#pragma once
// The failure conventions shared by every part of Penwell.
//
//  - A "nil" result is an empty std::optional or a null pointer.
//  - Library code answers Result<T> or MaybeFailure (platform/Result.h), carrying a Failure.
//  - The component's public API keeps its optional `Error*` out-parameters: when one is not
//    null and the operation fails, the error is written there.
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

/// Why an operation failed, for a host to show: the domain and code a program acts on, where
/// the fault lies, and one line for a person that names the input at fault (a file, an option,
/// a field) and what is wrong with it.
///
/// Domains are spelled "Penwell" followed by the library or subject in CamelCase
/// ("PenwellFile", "PenwellPdf", "PenwellVerify"); each library declares its own next to its
/// functions, with the codes it uses.
struct Failure {
    std::string domain;
    std::int64_t code = 0;
    std::string message;
    /// The input at fault, for a program to point at: a file, an option ("--rect"), a PDF
    /// object ("object 12 0"), a JSON path or a byte offset. Empty when the failure has no one
    /// place (a library that cannot run, say); the message names it for a person either way.
    std::string where;

    Failure() = default;
    Failure(std::string domain, std::int64_t code, std::string message, std::string where = {})
        : domain(std::move(domain)),
          code(code),
          message(std::move(message)),
          where(std::move(where)) {}

    /// The failure at `where`, its message "<where>: <what>", the shape of nearly every one.
    static Failure at(std::string domain, std::int64_t code, std::string where,
                      const std::string& what) {
        std::string message = where + ": " + what;
        return {std::move(domain), code, std::move(message), std::move(where)};
    }

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
