#pragma once
// The one vocabulary of pointer kinds: what the signing page sends, what a trace records, what
// the evidence seals and what the verifier tells apart. Header-only, so the verifier takes it
// without a library.

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string_view>

namespace penwell {

/// What drew a stroke. The numbers are written into sealed evidence: they never change.
enum class PointerKind : std::uint8_t { unknown = 0, finger = 1, stylus = 2, mouse = 3 };

/// The kind's one spelling in every text Penwell writes or reads: "unknown", "finger",
/// "stylus", "mouse".
constexpr std::string_view pointerKindName(PointerKind kind) {
    switch (kind) {
        case PointerKind::finger:
            return "finger";
        case PointerKind::stylus:
            return "stylus";
        case PointerKind::mouse:
            return "mouse";
        case PointerKind::unknown:
            break;
    }
    return "unknown";
}

/// An older spelling that a format once used and still reads ("pen" on the signing page).
struct PointerAlias {
    std::string_view name;
    PointerKind kind;
};

/// The kind `name` spells, in the one spelling or one of `older`; nothing for anything else.
constexpr std::optional<PointerKind> pointerKindNamed(
    std::string_view name, std::initializer_list<PointerAlias> older = {}) {
    for (const PointerKind kind :
         {PointerKind::unknown, PointerKind::finger, PointerKind::stylus, PointerKind::mouse}) {
        if (pointerKindName(kind) == name) {
            return kind;
        }
    }
    for (const PointerAlias& alias : older) {
        if (alias.name == name) {
            return alias.kind;
        }
    }
    return std::nullopt;
}

}  // namespace penwell
