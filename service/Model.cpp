#include "penwell/service/Model.h"

#include <array>
#include <chrono>
#include <utility>

namespace penwell::service {
namespace {

constexpr std::array<std::pair<RequestState, std::string_view>, 5> kRequestNames{{
    {RequestState::kPending, "pending"},
    {RequestState::kCompleted, "completed"},
    {RequestState::kDeclined, "declined"},
    {RequestState::kExpired, "expired"},
    {RequestState::kCancelled, "cancelled"},
}};

constexpr std::array<std::pair<SignerState, std::string_view>, 4> kSignerNames{{
    {SignerState::kWaiting, "waiting"},
    {SignerState::kOpen, "open"},
    {SignerState::kSigned, "signed"},
    {SignerState::kDeclined, "declined"},
}};

template <typename State, std::size_t N>
std::string_view nameIn(const std::array<std::pair<State, std::string_view>, N>& names,
                        State state) {
    for (const auto& [s, name] : names) {
        if (s == state) {
            return name;
        }
    }
    return {};
}

template <typename State, std::size_t N>
std::optional<State> stateIn(const std::array<std::pair<State, std::string_view>, N>& names,
                             std::string_view name) {
    for (const auto& [s, n] : names) {
        if (n == name) {
            return s;
        }
    }
    return std::nullopt;
}

}  // namespace

Clock systemClock() {
    return [] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    };
}

std::string_view nameOf(RequestState state) {
    return nameIn(kRequestNames, state);
}
std::string_view nameOf(SignerState state) {
    return nameIn(kSignerNames, state);
}
std::optional<RequestState> requestStateNamed(std::string_view name) {
    return stateIn(kRequestNames, name);
}
std::optional<SignerState> signerStateNamed(std::string_view name) {
    return stateIn(kSignerNames, name);
}

}  // namespace penwell::service
