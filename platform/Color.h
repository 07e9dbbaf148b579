#pragma once
// A colour as the toolkit hands it over: either grey-scale (grey level and alpha, two
// components) or RGB (red, green, blue and alpha, four components). The component count is
// part of the contract: painters treat a two-component colour as black at its alpha.

#include <array>
#include <cstddef>
#include <span>

namespace penwell {

/// A colour component as painters use it: within [0, 1], NaN as 0. Components come from hosts
/// and traces as they are, and converting NaN or an out-of-range value to a pixel channel is
/// undefined behaviour.
inline double unitComponent(double v) {
    return v >= 0.0 ? (v <= 1.0 ? v : 1.0) : 0.0;  // NaN fails the first test
}

class Color {
public:
    /// Grey 1.0, alpha 1.0: two components, like the toolkit's white.
    static Color whiteColor() { return grey(1.0, 1.0); }
    /// RGB (0, 0, 1), alpha 1.0.
    static Color blueColor() { return rgb(0.0, 0.0, 1.0, 1.0); }
    static Color blackColor() { return grey(0.0, 1.0); }
    static Color clearColor() { return grey(0.0, 0.0); }

    static Color rgb(double red, double green, double blue, double alpha = 1.0) {
        return Color({red, green, blue, alpha}, 4);
    }
    static Color grey(double white, double alpha = 1.0) { return Color({white, alpha, 0, 0}, 2); }

    /// 2 for a grey-scale colour, 4 for an RGB colour; alpha is counted.
    std::size_t numberOfComponents() const { return count_; }
    /// The components in order, alpha last.
    std::span<const double> components() const { return {values_.data(), count_}; }
    double alpha() const { return values_[count_ - 1]; }

    friend bool operator==(const Color& a, const Color& b) {
        return a.count_ == b.count_ && a.values_ == b.values_;
    }

private:
    Color(std::array<double, 4> values, std::size_t count) : values_(values), count_(count) {}

    std::array<double, 4> values_;
    std::size_t count_;
};

}  // namespace penwell
