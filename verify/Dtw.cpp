#include "verify/Dtw.h"

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

}  // namespace

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
