// The ten-bin histogram of per-row treatment effects.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "quorvantis/base/views.hpp"
#include "quorvantis/report/visual.hpp"

namespace quorvantis::report {

inline constexpr std::size_t kEffectBins = 10;

struct EffectHistogram {
    std::array<double, kEffectBins> bins{};  // left edges
    std::array<std::uint64_t, kEffectBins> counts{};
};

// NaN effects count in the first bin and leave the edges alone; with no
// non-NaN effect every edge is NaN.
EffectHistogram compute_effect_histogram(const VectorView& effects);

// The histogram as an "effect_dist" visual.
VisualOutput effect_histogram(const VectorView& effects);

}  // namespace quorvantis::report
