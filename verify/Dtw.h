#pragma once
// Dynamic time warping of two sequences of feature vectors, within a Sakoe–Chiba band: one
// sequence of any dimension, or every feature group of two signatures at once.

#include <array>
#include <cstddef>
#include <vector>

#include "penwell/verify/Features.h"

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

/// What warping two signatures gives: each feature group warped on its own, and what the
/// first group's (position's) path says about the others.
struct Warping {
    /// Entry g: the least warping cost of group g, as dtwDistance() defines it, for the groups
    /// both signatures have (a pen signature's pressure is left out against a finger one's);
    /// the rest are 0.
    std::array<double, kFeatureGroups> groups{};
    /// Along the position's warping path (pairs of samples at the same place of the shape):
    /// the root mean square difference of their times, as shares of each signature's
    /// pen-down time (rhythm), and the mean absolute difference of their relative pressures
    /// (0 unless both have pressure).
    double rhythm = 0.0;
    double pressureShape = 0.0;
    std::size_t pathLength = 0;  ///< pairs on that path
};

/// Warps every feature group of `a` against the same group of `b` within the same band. The
/// groups share one pass, so three or four groups cost little more than one warping; the
/// position's path is kept (a byte per band cell) and walked back. +infinity everywhere for an
/// empty signature. Costs are summed in single precision.
Warping warp(const SampleFeatures& a, const SampleFeatures& b, std::size_t band);

}  // namespace penwell::verify
