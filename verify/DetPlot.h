#pragma once
// The detection-error trade-off drawn as an SVG picture: false rejection against false
// acceptance on normal-deviate axes, where the trade-off of two normal score distributions is
// a straight line. Text only, so it needs nothing beyond the standard library.

#include <string>
#include <string_view>
#include <vector>

#include "penwell/verify/Evaluation.h"

namespace penwell::verify {

/// The value z of a standard normal variable below which it falls with probability p
/// (0 < p < 1): -infinity and +infinity at 0 and 1, NaN outside [0, 1]. Accurate to about
/// 1e-9 (Acklam's rational approximation, one Newton step).
double normalDeviate(double p);

/// One curve of the plot.
struct DetSeries {
    std::string name;  ///< in the legend; escaped for XML
    std::vector<DetPoint> points;
    double eer = -1.0;  ///< marked on the curve when 0 to 1
};

/// The plot area spans rates of kDetLowest to kDetHighest on both axes; rates beyond are drawn
/// at its edge.
inline constexpr double kDetLowest = 0.0005;
inline constexpr double kDetHighest = 0.6;

/// A complete SVG document, 560 x 560 units, of the series over a grid at 0.1 % to 40 %.
std::string detPlotSvg(std::string_view title, const std::vector<DetSeries>& series);

}  // namespace penwell::verify
