// The settings of a general-engine forest, checked before any work.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace quorvantis::engine {

struct ForestOptions;

enum class OptionType : std::uint8_t { Count, Real, Flag };

// A count, a real or a flag (count 0 or 1), as one option holds it.
struct OptionValue {
    std::uint64_t count = 0;
    double real = 0.0;
};

// One option: its name, kind and bounds. The table of these is the one
// place the limits are written; the Python layer reads them from it, and
// the loader of fitted forests accepts what they allow.
struct OptionSpec {
    std::string_view name;
    OptionType type = OptionType::Count;
    std::uint64_t min = 0, max = 0;  // a count's, inclusive
    double low = 0.0, high = 0.0;    // a real's
    bool low_open = false, high_open = false;
    void (*set)(ForestOptions&, OptionValue) = nullptr;
    OptionValue (*get)(const ForestOptions&) = nullptr;

    // Empty when `v` is within the bounds, else what is wrong with it.
    std::string check(OptionValue v) const;
};

struct ForestOptions {
    static constexpr std::size_t kMaxTrees = 1'000'000;
    static constexpr std::uint64_t kMaxRows = 0xffffffffULL;
    static constexpr std::size_t kMaxFeatures = 65535;

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

    // Empty when every option is within its bounds and they agree with each
    // other, otherwise what is wrong, naming the option, what it must be and
    // what it is.
    std::string check() const;
    // The same, and the settings can fit `n` rows of `p` features.
    std::string check(std::size_t n, std::size_t p) const;
    std::size_t candidates(std::size_t p) const noexcept;
};

// Every option, in a fixed order, and one by its (Python) name.
std::span<const OptionSpec> option_specs() noexcept;
const OptionSpec* find_option(std::string_view name) noexcept;

}  // namespace quorvantis::engine
