#pragma once
// Dynamic time warping of two sequences of feature vectors, within a Sakoe–Chiba band.

#include <cstddef>
#include <vector>

namespace penwell::verify {

/// A sequence of samples, each a row of `dimension` features, row after row.
struct FeatureSequence {
    std::size_t dimension = 1;
    std::vector<double> values;

    std::size_t size() const { return dimension == 0 ? 0 : values.size() / dimension; }
    const double* row(std::size_t i) const { return values.data() + i * dimension; }
};

/// The least total cost of a warping path from the first rows of `a` and `b` to their last
/// rows, stepping (1,0), (0,1) or (1,1), where a step's cost is the Euclidean distance of the
/// two rows it lands on (the first pair's included).
///
/// The band: with n = a.size(), m = b.size() and L = max(n-1, m-1), row i may meet row j only
/// when |i(m-1) - j(n-1)| <= band * L, that is when j lies within `band` rows (counted along
/// the longer sequence) of the straight line from the first pair to the last. For sequences
/// of equal length that is the classic |i - j| <= band. A band too narrow to hold a path
/// (0 with unequal lengths) gives +infinity, as do an empty sequence and unequal dimensions.
///
/// Time O(n * band * dimension) when the lengths are alike, memory O(m).
double dtwDistance(const FeatureSequence& a, const FeatureSequence& b, std::size_t band);

}  // namespace penwell::verify
