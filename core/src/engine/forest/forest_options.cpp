#include "quorvantis/engine/forest/forest_options.hpp"

#include <algorithm>
#include <cmath>

#include "quorvantis/base/format.hpp"

namespace quorvantis::engine {

std::size_t ForestOptions::candidates(std::size_t p) const noexcept {
    if (mtry > 0) return std::min(mtry, p);
    const auto m = static_cast<std::size_t>(std::ceil(std::sqrt(static_cast<double>(p)) + 20.0));
    return std::min(m, p);
}

std::string ForestOptions::check(std::size_t n, std::size_t p) const {
    auto num = [](double v) { return format_diagnostic(v); };
    if (n_trees < 1) return "n_estimators must be at least 1, got 0";
    if (n_trees > 10'000'000) return "n_estimators must be at most 10000000, got " + std::to_string(n_trees);
    if (ci_group_size < 1) return "ci_group_size must be at least 1, got 0";
    if (n_trees % ci_group_size != 0)
        return "n_estimators must be a multiple of ci_group_size (" + std::to_string(ci_group_size) + "), got " +
               std::to_string(n_trees);
    if (min_samples_leaf < 1) return "min_samples_leaf must be at least 1, got 0";
    if (!(sample_fraction > 0.0 && sample_fraction <= 1.0))
        return "sample_fraction must be in (0, 1], got " + num(sample_fraction);
    if (ci_group_size > 1 && sample_fraction > 0.5)
        return "sample_fraction must be at most 0.5 when ci_group_size > 1, got " + num(sample_fraction);
    if (!(honesty_fraction > 0.0 && honesty_fraction < 1.0))
        return "honesty_fraction must be in (0, 1), got " + num(honesty_fraction);
    if (!(alpha >= 0.0 && alpha < 0.5)) return "alpha must be in [0, 0.5), got " + num(alpha);
    if (!(imbalance_penalty >= 0.0) || std::isinf(imbalance_penalty))
        return "imbalance_penalty must be a finite number >= 0, got " + num(imbalance_penalty);
    if (max_bins < 2 || max_bins > 256) return "max_bins must be in [2, 256], got " + std::to_string(max_bins);
    if (p > 65535) return "X has " + std::to_string(p) + " features; at most 65535 are supported";
    if (n > 0xffffffffULL) return "X has " + std::to_string(n) + " rows; at most 4294967295 are supported";
    if (mtry > p)
        return "max_features must be at most the number of features (" + std::to_string(p) + "), got " +
               std::to_string(mtry);
    return {};
}

}  // namespace quorvantis::engine
