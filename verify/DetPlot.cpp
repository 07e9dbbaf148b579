#include "penwell/verify/DetPlot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <numbers>

namespace penwell::verify {

namespace {

// The picture: a square plot area with room for the axes' labels and the legend.
constexpr double kSize = 560.0;
constexpr double kLeft = 70.0;
constexpr double kTop = 40.0;
constexpr double kSide = 440.0;

constexpr const char* kColours[] = {"#1f5fa8", "#c8402a", "#2e8b3e", "#8a4fb0", "#b07a12"};
constexpr const char* kDashes[] = {"", "6 4", "2 3", "8 3 2 3"};

std::string number(double v) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.2f", v);
    return buffer;
}

std::string escaped(std::string_view text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

/// Where a rate falls along an axis, 0 at kDetLowest to 1 at kDetHighest, clamped.
double along(double rate) {
    const double lo = normalDeviate(kDetLowest);
    const double hi = normalDeviate(kDetHighest);
    const double z = normalDeviate(std::clamp(rate, kDetLowest, kDetHighest));
    return (z - lo) / (hi - lo);
}

double xOf(double falseAcceptance) {
    return kLeft + kSide * along(falseAcceptance);
}

double yOf(double falseRejection) {
    return kTop + kSide * (1.0 - along(falseRejection));
}

std::string percentLabel(double rate) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, rate < 0.01 ? "%.1f" : "%.0f", rate * 100.0);
    return buffer;
}

}  // namespace

double normalDeviate(double p) {
    if (!(p >= 0.0 && p <= 1.0)) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    if (p == 0.0) {
        return -std::numeric_limits<double>::infinity();
    }
    if (p == 1.0) {
        return std::numeric_limits<double>::infinity();
    }
    // P. J. Acklam's coefficients: a rational function in the centre, another in the tails.
    constexpr double a[] = {-3.969683028665376e+01, 2.209460984245205e+02,  -2.759285104469687e+02,
                            1.383577518672690e+02,  -3.066479806614716e+01, 2.506628277459239e+00};
    constexpr double b[] = {-5.447609879822406e+01, 1.615858368580409e+02, -1.556989798598866e+02,
                            6.680131188771972e+01, -1.328068155288572e+01};
    constexpr double c[] = {-7.784894002430293e-03, -3.223964580411365e-01, -2.400758277161838e+00,
                            -2.549732539343734e+00, 4.374664141464968e+00,  2.938163982698783e+00};
    constexpr double d[] = {7.784695709041462e-03, 3.224671290700398e-01, 2.445134137142996e+00,
                            3.754408661907416e+00};
    constexpr double low = 0.02425;
    double z;
    if (p < low || p > 1.0 - low) {
        const double q = std::sqrt(-2.0 * std::log(p < low ? p : 1.0 - p));
        z = (((((c[0] * q + c[1]) * q + c[2]) * q + c[3]) * q + c[4]) * q + c[5]) /
            ((((d[0] * q + d[1]) * q + d[2]) * q + d[3]) * q + 1.0);
        if (p > low) {
            z = -z;
        }
    } else {
        const double q = p - 0.5;
        const double r = q * q;
        z = (((((a[0] * r + a[1]) * r + a[2]) * r + a[3]) * r + a[4]) * r + a[5]) * q /
            (((((b[0] * r + b[1]) * r + b[2]) * r + b[3]) * r + b[4]) * r + 1.0);
    }
    // One step of Halley's method on erfc brings it to the limit of double arithmetic.
    const double e = 0.5 * std::erfc(-z / std::numbers::sqrt2) - p;
    const double u = e * std::sqrt(2.0 * std::numbers::pi) * std::exp(z * z / 2.0);
    return z - u / (1.0 + z * u / 2.0);
}

std::string detPlotSvg(std::string_view title, const std::vector<DetSeries>& series) {
    std::string out;
    out += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + number(kSize) + "\" height=\"" +
           number(kSize) + "\" viewBox=\"0 0 " + number(kSize) + ' ' + number(kSize) +
           "\" font-family=\"sans-serif\" font-size=\"11\">\n";
    out += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    out += "<text x=\"" + number(kSize / 2.0) +
           "\" y=\"22\" text-anchor=\"middle\" font-size=\"14\">" + escaped(title) + "</text>\n";
    // The grid, its labels, and the line where the two rates are equal.
    for (const double rate : {0.001, 0.002, 0.005, 0.01, 0.02, 0.05, 0.1, 0.2, 0.4}) {
        const double x = xOf(rate);
        const double y = yOf(rate);
        out += "<line x1=\"" + number(x) + "\" y1=\"" + number(kTop) + "\" x2=\"" + number(x) +
               "\" y2=\"" + number(kTop + kSide) + "\" stroke=\"#ddd\"/>\n";
        out += "<line x1=\"" + number(kLeft) + "\" y1=\"" + number(y) + "\" x2=\"" +
               number(kLeft + kSide) + "\" y2=\"" + number(y) + "\" stroke=\"#ddd\"/>\n";
        out += "<text x=\"" + number(x) + "\" y=\"" + number(kTop + kSide + 15.0) +
               "\" text-anchor=\"middle\">" + percentLabel(rate) + "</text>\n";
        out += "<text x=\"" + number(kLeft - 6.0) + "\" y=\"" + number(y + 4.0) +
               "\" text-anchor=\"end\">" + percentLabel(rate) + "</text>\n";
    }
    out += "<line x1=\"" + number(xOf(kDetLowest)) + "\" y1=\"" + number(yOf(kDetLowest)) +
           "\" x2=\"" + number(xOf(kDetHighest)) + "\" y2=\"" + number(yOf(kDetHighest)) +
           "\" stroke=\"#999\" stroke-dasharray=\"3 3\"/>\n";
    out += "<rect x=\"" + number(kLeft) + "\" y=\"" + number(kTop) + "\" width=\"" + number(kSide) +
           "\" height=\"" + number(kSide) + "\" fill=\"none\" stroke=\"black\"/>\n";
    out += "<text x=\"" + number(kLeft + kSide / 2.0) + "\" y=\"" + number(kTop + kSide + 32.0) +
           "\" text-anchor=\"middle\">false acceptance (%)</text>\n";
    out += "<text transform=\"translate(18 " + number(kTop + kSide / 2.0) +
           ") rotate(-90)\" text-anchor=\"middle\">false rejection (%)</text>\n";
    for (std::size_t i = 0; i < series.size(); ++i) {
        const DetSeries& s = series[i];
        const std::string colour = kColours[i % std::size(kColours)];
        const std::string dash = kDashes[i % std::size(kDashes)];
        out += "<polyline fill=\"none\" stroke=\"" + colour + "\" stroke-width=\"1.5\"";
        if (!dash.empty()) {
            out += " stroke-dasharray=\"" + dash + '"';
        }
        out += " points=\"";
        for (std::size_t k = 0; k < s.points.size(); ++k) {
            if (k > 0) {
                out += ' ';
            }
            out += number(xOf(s.points[k].falseAcceptance));
            out += ',';
            out += number(yOf(s.points[k].falseRejection));
        }
        out += "\"/>\n";
        if (s.eer >= 0.0 && s.eer <= 1.0) {
            out += "<circle cx=\"" + number(xOf(s.eer)) + "\" cy=\"" + number(yOf(s.eer)) +
                   "\" r=\"3.5\" fill=\"" + colour + "\"/>\n";
        }
        // The legend, top right inside the plot.
        const double ly = kTop + 16.0 + 16.0 * static_cast<double>(i);
        const double lx = kLeft + kSide - 200.0;
        out += "<line x1=\"" + number(lx) + "\" y1=\"" + number(ly - 4.0) + "\" x2=\"" +
               number(lx + 24.0) + "\" y2=\"" + number(ly - 4.0) + "\" stroke=\"" + colour +
               "\" stroke-width=\"1.5\"" +
               (dash.empty() ? "" : " stroke-dasharray=\"" + dash + '"') + "/>\n";
        out += "<text x=\"" + number(lx + 30.0) + "\" y=\"" + number(ly) + "\">" + escaped(s.name) +
               "</text>\n";
    }
    out += "</svg>\n";
    return out;
}

}  // namespace penwell::verify
