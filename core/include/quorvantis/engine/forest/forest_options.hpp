// The settings of a general-engine forest, checked before any work.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quorvantis::engine {

struct ForestOptions {
    std::size_t n_trees = 2000;
    std::uint64_t min_samples_leaf = 5;
    std::uint64_t max_depth = 0;  // 0: no limit
    std::size_t mtry = 0;         // 0: min(ceil(sqrt(p) + 20), p)
    double sample_fraction = 0.5;
    bool honesty = true;
    double honesty_fraction = 0.5;
    std::size_t ci_group_size = 2;
    double alpha = 0.05;
    double imbalance_penalty = 0.0;
    std::size_t max_bins = 256;
    std::uint64_t seed = 0;
    std::size_t n_threads = 0;  // 0: every worker of the pool
    // The earlier outcome and treatment forests (the causal trees' leaf and
    // honesty settings, no recalibration); kept for comparison in benchmarks.
    bool smooth_nuisance = false;

    // Empty when the settings can fit `n` rows of `p` features, otherwise
    // what is wrong, naming the setting, what it must be and what it is.
    std::string check(std::size_t n, std::size_t p) const;
    std::size_t candidates(std::size_t p) const noexcept;
};

}  // namespace quorvantis::engine
