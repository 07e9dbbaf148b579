#include <cmath>
#include <cstdint>
#include <limits>

#include "penwell/capture/Penwell.h"

namespace penwell {

namespace {

// All ones marks "no reference sample yet"; no real timestamp reaches 2^64 - 1 ms.
constexpr std::uint64_t kNoSample = std::numeric_limits<std::uint64_t>::max();

/// The time from one sample to the next, later minus earlier, signed: digitizers do stamp a
/// sample a few milliseconds before its predecessor, and an unsigned difference would turn
/// that into an interval of nearly 2^64 ms. Wraps like two's complement for the (unreal) case
/// of stamps more than 2^63 ms apart.
long double interval(std::uint64_t earlier, std::uint64_t later) {
    return static_cast<long double>(static_cast<std::int64_t>(later - earlier));
}

/// Calls f(interval) for every interval calculateSigma uses: within a stroke, samples stamped 0
/// are passed over until a non-zero one becomes the reference, so the touch-down never starts
/// an interval.
template <typename F>
void forEachReferencedInterval(const std::vector<Stroke>& lines, F&& f) {
    for (const Stroke& stroke : lines) {
        std::uint64_t last = kNoSample;
        for (const _point& sample : stroke) {
            const std::uint64_t t = sample.Timestamp();
            if (last != kNoSample) {
                f(interval(last, t));
                last = t;
            } else if (t != 0) {
                last = t;
            }
        }
    }
}

}  // namespace

double PenwellViewController::calculateSigma() const {
    std::uint64_t n = 0;
    long double sum = 0.0L;
    forEachReferencedInterval(_lines, [&](long double lapse) {
        ++n;
        sum += lapse;
    });
    // With no interval this is 0/0 in floating point: NaN, as IEEE 754 defines it.
    const long double mean = sum / static_cast<long double>(n);

    long double sumdiff = 0.0L;
    forEachReferencedInterval(_lines, [&](long double lapse) {
        const long double diff = lapse - mean;
        sumdiff += diff * diff;
    });
    const long double variance = sumdiff / static_cast<long double>(n);
    // Only the root is taken in double, after rounding the variance; the last digits of the
    // result depend on that mix, so it is kept exactly.
    const long double sigma = std::sqrt(static_cast<double>(variance));
    return static_cast<double>(sigma / mean);
}

double PenwellViewController::calculateSigma2() const {
    if (_lines.empty()) {
        return 0.0;
    }
    std::uint64_t sigmaN = 0;
    long double sigmaAvg = 0.0L;
    long double sigmaM2 = 0.0L;
    for (const Stroke& stroke : _lines) {
        std::uint64_t sigmaLastT = kNoSample;
        for (const _point& sample : stroke) {
            const std::uint64_t t = sample.Timestamp();
            if (sigmaLastT != kNoSample) {
                const long double sigmaT = interval(sigmaLastT, t);
                ++sigmaN;
                const long double sigmaDelta = sigmaT - sigmaAvg;
                sigmaAvg += sigmaDelta / static_cast<long double>(sigmaN);
                sigmaM2 += sigmaDelta * (sigmaT - sigmaAvg);  // with the updated mean
            }
            sigmaLastT = t;
        }
    }
    const long double variance = sigmaM2 / static_cast<long double>(sigmaN);
    const long double sigma = std::sqrt(static_cast<double>(variance));
    return static_cast<double>(sigma / sigmaAvg);
}

}  // namespace penwell
