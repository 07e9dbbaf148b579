#include "penwell/verify/Dtw.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace penwell::verify {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

/// The Euclidean distances of row `a` to rows first..last of b, whose features are stored
/// feature by feature (`columns`, m values each): the loop over the rows then vectorises, which
/// row-by-row storage with 6 or 7 features does not. The usual dimensions are template
/// arguments so that the loop over the features unrolls; Dim 0 takes `dim` at run time.
template <std::size_t Dim>
void rowCosts(const double* a, const double* columns, std::size_t m, std::size_t dim,
              std::size_t first, std::size_t last, double* out) {
    const std::size_t features = Dim != 0 ? Dim : dim;
    for (std::size_t j = first; j <= last; ++j) {
        double sum = 0.0;
        for (std::size_t k = 0; k < features; ++k) {
            const double d = a[k] - columns[k * m + j];
            sum += d * d;
        }
        out[j] = std::sqrt(sum);
    }
}

void rowCosts(const double* a, const double* columns, std::size_t m, std::size_t dim,
              std::size_t first, std::size_t last, double* out) {
    switch (dim) {
        case 2:
            return rowCosts<2>(a, columns, m, dim, first, last, out);
        case 6:
            return rowCosts<6>(a, columns, m, dim, first, last, out);
        case 7:
            return rowCosts<7>(a, columns, m, dim, first, last, out);
        default:
            return rowCosts<0>(a, columns, m, dim, first, last, out);
    }
}

/// floor(p / q) and ceil(p / q) for q > 0, any sign of p.
std::int64_t floorDiv(std::int64_t p, std::int64_t q) {
    return p >= 0 ? p / q : -((-p + q - 1) / q);
}
std::int64_t ceilDiv(std::int64_t p, std::int64_t q) {
    return p >= 0 ? (p + q - 1) / q : -((-p) / q);
}

/// The rows of `b` that row i of `a` may meet, [lo, hi] (empty when lo > hi).
struct Span {
    std::int64_t lo, hi;
};

Span spanOf(std::size_t i, std::int64_t N, std::int64_t M, std::int64_t reach) {
    if (N == 0) {
        return {0, M};
    }
    const std::int64_t centre = static_cast<std::int64_t>(i) * M;
    return {std::max<std::int64_t>(0, ceilDiv(centre - reach, N)),
            std::min<std::int64_t>(M, floorDiv(centre + reach, N))};
}

/// Where each cell of the first group's warping came from, row by row within the band, so
/// that its path can be walked back.
enum Step : std::uint8_t { diagonal, fromAbove, fromLeft };

/// warp() for G groups of two features each.
template <std::size_t G>
Warping warpGroups(const SampleFeatures& a, const SampleFeatures& b, std::size_t band) {
    constexpr float kInf = std::numeric_limits<float>::infinity();
    const std::size_t n = a.length;
    const std::size_t m = b.length;
    const auto N = static_cast<std::int64_t>(n - 1);
    const auto M = static_cast<std::int64_t>(m - 1);
    const std::int64_t reach = static_cast<std::int64_t>(band) * std::max(N, M);
    // Group g's cells of a row at [g * m, (g + 1) * m).
    std::vector<float> previous(G * m, kInf);
    std::vector<float> current(G * m, kInf);
    std::vector<float> costs(G * m);
    std::vector<Span> spans(n);
    std::size_t cells = 0;
    for (std::size_t i = 0; i < n; ++i) {
        spans[i] = spanOf(i, N, M, reach);
        cells += spans[i].lo <= spans[i].hi
                     ? static_cast<std::size_t>(spans[i].hi - spans[i].lo) + 1
                     : 0;
    }
    std::vector<std::size_t> rowStart(n + 1, 0);
    std::vector<Step> steps;
    steps.reserve(cells);
    std::size_t previousLo = 0, previousHi = 0, currentLo = 0, currentHi = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const Span span = spans[i];
        for (std::size_t g = 0; g < G; ++g) {
            std::fill(current.begin() + static_cast<std::ptrdiff_t>(g * m + currentLo),
                      current.begin() + static_cast<std::ptrdiff_t>(g * m + currentHi), kInf);
        }
        if (span.lo <= span.hi) {
            const auto first = static_cast<std::size_t>(span.lo);
            const auto last = static_cast<std::size_t>(span.hi);
            for (std::size_t g = 0; g < G; ++g) {
                const float a0 = a.feature(2 * g)[i];
                const float a1 = a.feature(2 * g + 1)[i];
                const float* b0 = b.feature(2 * g);
                const float* b1 = b.feature(2 * g + 1);
                float* out = costs.data() + g * m;
                for (std::size_t j = first; j <= last; ++j) {
                    const float d0 = a0 - b0[j];
                    const float d1 = a1 - b1[j];
                    out[j] = std::sqrt(d0 * d0 + d1 * d1);
                }
            }
            // The groups' recurrences are independent chains of min-and-add: run side by
            // side, they keep the processor busy where one alone would wait on the last. The
            // first group's also notes each cell's step.
            std::array<float, G> left;
            left.fill(kInf);
            for (std::size_t j = first; j <= last; ++j) {
                const float above = previous[j];
                const float diag = j > 0 ? previous[j - 1] : (i == 0 ? 0.0f : kInf);
                Step step = diagonal;
                float best = diag;
                if (above < best) {
                    best = above;
                    step = fromAbove;
                }
                if (left[0] < best) {
                    best = left[0];
                    step = fromLeft;
                }
                steps.push_back(step);
                left[0] = best + costs[j];
                current[j] = left[0];
                for (std::size_t g = 1; g < G; ++g) {
                    const float* p = previous.data() + g * m;
                    float other = std::min(p[j], left[g]);
                    other = std::min(other, j > 0 ? p[j - 1] : (i == 0 ? 0.0f : kInf));
                    left[g] = other + costs[g * m + j];
                    current[g * m + j] = left[g];
                }
            }
        }
        rowStart[i + 1] = steps.size();
        currentLo = static_cast<std::size_t>(span.lo);
        currentHi = span.hi >= span.lo ? static_cast<std::size_t>(span.hi) + 1 : currentLo;
        std::swap(previous, current);
        std::swap(previousLo, currentLo);
        std::swap(previousHi, currentHi);
    }
    Warping out;
    for (std::size_t g = 0; g < G; ++g) {
        out.groups[g] = previous[g * m + m - 1];
    }
    // Walk the first group's path back from the last pair to the first.
    const bool pressure = !a.relativePressure.empty() && !b.relativePressure.empty();
    double time = 0.0;
    double shape = 0.0;
    std::size_t i = n - 1;
    std::size_t j = m - 1;
    std::size_t length = 0;
    while (true) {
        const double dt = static_cast<double>(a.time[i]) - static_cast<double>(b.time[j]);
        time += dt * dt;
        if (pressure) {
            shape += std::abs(static_cast<double>(a.relativePressure[i]) -
                              static_cast<double>(b.relativePressure[j]));
        }
        ++length;
        if (i == 0 && j == 0) {
            break;
        }
        const Step step = steps[rowStart[i] + (j - static_cast<std::size_t>(spans[i].lo))];
        if (step != fromLeft) {
            --i;
        }
        if (step != fromAbove) {
            --j;
        }
    }
    out.pathLength = length;
    out.rhythm = std::sqrt(time / static_cast<double>(length));
    out.pressureShape = shape / static_cast<double>(length);
    return out;
}

}  // namespace

Warping warp(const SampleFeatures& a, const SampleFeatures& b, std::size_t band) {
    static_assert(kGroupSize == std::array<std::size_t, kFeatureGroups>{2, 2, 2, 2},
                  "the warping takes two features per group");
    Warping none;
    const std::size_t groups = std::min(a.groups, b.groups);
    if (a.length == 0 || b.length == 0 || groups < 3) {
        none.groups.fill(kInfinity);
        none.rhythm = none.pressureShape = kInfinity;
        return none;
    }
    return groups == 3 ? warpGroups<3>(a, b, band) : warpGroups<4>(a, b, band);
}

double dtwDistance(const FeatureSequence& a, const FeatureSequence& b, std::size_t band) {
    const std::size_t n = a.size();
    const std::size_t m = b.size();
    if (n == 0 || m == 0 || a.dimension != b.dimension) {
        return kInfinity;
    }
    const std::size_t dim = a.dimension;
    // Lengths are bounded by the callers (kMaxSamples), so these products fit in 64 bits.
    const auto N = static_cast<std::int64_t>(n - 1);
    const auto M = static_cast<std::int64_t>(m - 1);
    const std::int64_t reach = static_cast<std::int64_t>(band) * std::max(N, M);

    std::vector<double> previous(m, kInfinity);
    std::vector<double> current(m, kInfinity);
    std::vector<double> costs(m);
    std::vector<double> columns(m * dim);
    for (std::size_t j = 0; j < m; ++j) {
        for (std::size_t k = 0; k < dim; ++k) {
            columns[k * m + j] = b.row(j)[k];
        }
    }
    // The cells each buffer wrote last ([lo, hi), empty at first): only those need clearing.
    std::size_t previousLo = 0, previousHi = 0, currentLo = 0, currentHi = 0;
    for (std::size_t i = 0; i < n; ++i) {
        std::int64_t lo = 0;
        std::int64_t hi = M;
        if (N > 0) {
            const std::int64_t centre = static_cast<std::int64_t>(i) * M;
            lo = std::max<std::int64_t>(0, ceilDiv(centre - reach, N));
            hi = std::min<std::int64_t>(M, floorDiv(centre + reach, N));
        }
        // What this buffer holds from two rows back must not leak into this row.
        std::fill(current.begin() + static_cast<std::ptrdiff_t>(currentLo),
                  current.begin() + static_cast<std::ptrdiff_t>(currentHi), kInfinity);
        if (lo <= hi) {
            const auto first = static_cast<std::size_t>(lo);
            const auto last = static_cast<std::size_t>(hi);
            rowCosts(a.row(i), columns.data(), m, dim, first, last, costs.data());
            // The cell to the left stays in a register: the recurrence is one chain of
            // min-and-add along the row.
            double left = kInfinity;
            for (std::size_t j = first; j <= last; ++j) {
                double best = std::min(previous[j], left);
                if (j > 0) {
                    best = std::min(best, previous[j - 1]);
                } else if (i == 0) {
                    best = 0.0;  // the path's first pair
                }
                left = best + costs[j];
                current[j] = left;
            }
        }
        currentLo = static_cast<std::size_t>(lo);
        currentHi = hi >= lo ? static_cast<std::size_t>(hi) + 1 : currentLo;
        std::swap(previous, current);
        std::swap(previousLo, currentLo);
        std::swap(previousHi, currentHi);
    }
    return previous[m - 1];
}

}  // namespace penwell::verify
