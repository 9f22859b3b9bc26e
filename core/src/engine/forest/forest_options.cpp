#include "quorvantis/engine/forest/forest_options.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <type_traits>
#include <utility>

#include "quorvantis/base/format.hpp"

namespace quorvantis::engine {
namespace {

template <auto Member>
constexpr OptionSpec count(std::string_view name, std::uint64_t min, std::uint64_t max) {
    using Field = std::remove_cvref_t<decltype(std::declval<ForestOptions&>().*Member)>;
    OptionSpec s{name, OptionType::Count, min, max};
    s.set = [](ForestOptions& o, OptionValue v) { o.*Member = static_cast<Field>(v.count); };
    s.get = [](const ForestOptions& o) { return OptionValue{static_cast<std::uint64_t>(o.*Member), 0.0}; };
    return s;
}

template <auto Member>
constexpr OptionSpec real(std::string_view name, double low, double high, bool low_open, bool high_open) {
    OptionSpec s{name, OptionType::Real, 0, 0, low, high, low_open, high_open};
    s.set = [](ForestOptions& o, OptionValue v) { o.*Member = v.real; };
    s.get = [](const ForestOptions& o) { return OptionValue{0, o.*Member}; };
    return s;
}

template <auto Member>
constexpr OptionSpec flag(std::string_view name) {
    OptionSpec s{name, OptionType::Flag, 0, 1};
    s.set = [](ForestOptions& o, OptionValue v) { o.*Member = v.count != 0; };
    s.get = [](const ForestOptions& o) { return OptionValue{o.*Member ? 1U : 0U, 0.0}; };
    return s;
}

using O = ForestOptions;
constexpr double kInf = std::numeric_limits<double>::infinity();

// A nuisance forest has a quarter of the trees, so the seed's and the
// threads' bounds are all that is not a user's choice here.
constexpr std::array kSpecs = {
    count<&O::n_trees>("n_estimators", 1, O::kMaxTrees),
    count<&O::min_samples_leaf>("min_samples_leaf", 1, O::kMaxRows),
    count<&O::max_depth>("max_depth", 0, O::kMaxRows),
    count<&O::mtry>("max_features", 0, O::kMaxFeatures),
    real<&O::sample_fraction>("sample_fraction", 0.0, 1.0, true, false),
    flag<&O::honesty>("honesty"),
    real<&O::honesty_fraction>("honesty_fraction", 0.0, 1.0, true, true),
    count<&O::ci_group_size>("ci_group_size", 1, O::kMaxTrees),
    real<&O::alpha>("alpha", 0.0, 0.5, false, true),
    real<&O::imbalance_penalty>("imbalance_penalty", 0.0, kInf, false, true),
    count<&O::max_bins>("max_bins", 2, 256),
    count<&O::seed>("seed", 0, std::numeric_limits<std::uint64_t>::max()),
    count<&O::n_threads>("n_jobs", 0, std::uint64_t{1} << 30),
    // The earlier, smoother first stage; for the benchmarks' comparisons.
    flag<&O::smooth_nuisance>("smooth_nuisance"),
};

}  // namespace

std::span<const OptionSpec> option_specs() noexcept {
    return kSpecs;
}

const OptionSpec* find_option(std::string_view name) noexcept {
    const auto it = std::find_if(kSpecs.begin(), kSpecs.end(), [&](const OptionSpec& s) { return s.name == name; });
    return it == kSpecs.end() ? nullptr : &*it;
}

std::string OptionSpec::check(OptionValue v) const {
    const std::string head = std::string(name) + " must be ";
    switch (type) {
        case OptionType::Flag:
            return v.count <= 1 ? std::string{} : head + "0 or 1, got " + std::to_string(v.count);
        case OptionType::Count:
            if (v.count >= min && v.count <= max) return {};
            return head + "in [" + std::to_string(min) + ", " + std::to_string(max) + "], got " +
                   std::to_string(v.count);
        case OptionType::Real: {
            const bool above = low_open ? v.real > low : v.real >= low;
            const bool below = high_open ? v.real < high : v.real <= high;
            if (above && below) return {};
            const std::string got = ", got " + format_diagnostic(v.real);
            if (std::isinf(high))
                return head + "a finite number " + (low_open ? "> " : ">= ") + format_diagnostic(low) + got;
            return head + "in " + (low_open ? "(" : "[") + format_diagnostic(low) + ", " + format_diagnostic(high) +
                   (high_open ? ")" : "]") + got;
        }
    }
    return {};
}

std::size_t ForestOptions::candidates(std::size_t p) const noexcept {
    if (mtry > 0) return std::min(mtry, p);
    const auto m = static_cast<std::size_t>(std::ceil(std::sqrt(static_cast<double>(p)) + 20.0));
    return std::min(m, p);
}

std::string ForestOptions::check() const {
    for (const OptionSpec& s : kSpecs)
        if (std::string why = s.check(s.get(*this)); !why.empty()) return why;
    if (n_trees % ci_group_size != 0)
        return "n_estimators must be a multiple of ci_group_size (" + std::to_string(ci_group_size) + "), got " +
               std::to_string(n_trees);
    if (ci_group_size > 1 && sample_fraction > 0.5)
        return "sample_fraction must be at most 0.5 when ci_group_size > 1, got " + format_diagnostic(sample_fraction);
    return {};
}

std::string ForestOptions::check(std::size_t n, std::size_t p) const {
    if (std::string why = check(); !why.empty()) return why;
    if (p > kMaxFeatures)
        return "X has " + std::to_string(p) + " features; at most " + std::to_string(kMaxFeatures) + " are supported";
    if (n > kMaxRows)
        return "X has " + std::to_string(n) + " rows; at most " + std::to_string(kMaxRows) + " are supported";
    if (mtry > p)
        return "max_features must be at most the number of features (" + std::to_string(p) + "), got " +
               std::to_string(mtry);
    return {};
}

}  // namespace quorvantis::engine
