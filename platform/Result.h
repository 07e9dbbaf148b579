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

/// Inside one library's own source: a failure found deep in a parse or a chain of steps, on
/// its way to the public function, which answers it as a value through refusing(). It never
/// crosses a library's interface.
struct Refusal {
    Failure failure;
};

/// Runs `body` and answers its value, or the failure of a Refusal it throws: a Result<T> for a
/// body that returns T, a MaybeFailure for one that returns nothing.
template <typename Body>
auto refusing(Body&& body) {
    using T = std::invoke_result_t<Body&>;
    if constexpr (std::is_void_v<T>) {
        try {
            body();
            return MaybeFailure{};
        } catch (const Refusal& refusal) {
            return MaybeFailure{refusal.failure};
        }
    } else {
        try {
            return Result<T>(body());
        } catch (const Refusal& refusal) {
            return Result<T>(refusal.failure);
        }
    }
}

/// Inside a library: the value of `result`, or its failure passed on as a Refusal.
template <typename T>
T take(Result<T> result) {
    if (!result) {
        throw Refusal{result.error()};
    }
    return std::move(*result);
}

/// Inside a library: passes a failed MaybeFailure on as a Refusal.
inline void take(const MaybeFailure& status) {
    if (status) {
        throw Refusal{*status};
    }
}

}  // namespace penwell
