#include "quorvantis/report/effect_histogram.hpp"

#include <cmath>
#include <limits>
#include <vector>

namespace quorvantis::report {
namespace {

// Truncation toward zero, saturating: NaN and negatives give 0, 2^64 and
// above give the maximum. A plain cast would be undefined outside the range.
std::uint64_t saturating_u64(double q) noexcept {
    if (!(q > 0.0)) return 0;
    if (q >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(q);
}

}  // namespace

EffectHistogram compute_effect_histogram(const VectorView& effects) {
    std::vector<double> e(effects.size);
    for (std::size_t i = 0; i < e.size(); ++i) e[i] = effects[i];

    double lo = std::numeric_limits<double>::infinity();
    double hi = -std::numeric_limits<double>::infinity();
    for (const double v : e) {
        if (std::isnan(v)) continue;
        if (v < lo) lo = v;
        if (v > hi) hi = v;
    }
    const double range = hi - lo;
    const double w = std::fabs(range) < 2.220446049250313e-16 ? 1.0 : range / 10.0;

    EffectHistogram h;
    for (std::size_t i = 0; i < kEffectBins; ++i) h.bins[i] = static_cast<double>(i) * w + lo;
    for (const double v : e) {
        const std::uint64_t q = saturating_u64((v - lo) / w);
        ++h.counts[q < kEffectBins - 1 ? q : kEffectBins - 1];
    }
    return h;
}

VisualOutput effect_histogram(const VectorView& effects) {
    const EffectHistogram h = compute_effect_histogram(effects);
    return VisualOutput::effect_dist("Individual Treatment Effect Distribution", "Frequency",
                                     {h.bins.begin(), h.bins.end()}, {h.counts.begin(), h.counts.end()});
}

}  // namespace quorvantis::report
