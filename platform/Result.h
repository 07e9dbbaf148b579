#pragma once
// A value or the reason there is none. New library code answers this instead of a bare nil, so
// a caller prints the failure's one line and never has to work out why.

#include <optional>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <variant>

#include "penwell/platform/Errors.h"

namespace penwell {

template <typename T>
class Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(Failure failure) : state_(std::in_place_index<1>, std::move(failure)) {}

    bool has_value() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return has_value(); }

    /// The value; throws std::logic_error when there is none (a caller that did not check).
    T& value() & { return has_value() ? std::get<0>(state_) : missing(); }
    const T& value() const& { return has_value() ? std::get<0>(state_) : missing(); }
    T&& value() && { return std::move(value()); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    /// The failure; throws std::logic_error when there is a value.
    const Failure& error() const {
        if (has_value()) {
            throw std::logic_error("Result::error() on a value");
        }
        return std::get<1>(state_);
    }

private:
    [[noreturn]] T& missing() const {
        throw std::logic_error("Result::value() on a failure: " + std::get<1>(state_).message);
    }

    std::variant<T, Failure> state_;
};

/// What an operation with no value answers: nothing when it succeeded, else why not.
using MaybeFailure = std::optional<Failure>;

}  // namespace penwell
